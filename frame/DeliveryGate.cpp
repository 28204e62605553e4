#include "frame/DeliveryGate.h"

#include "platform/win32/Thread.h"

bool CDeliveryGate::Enter() {
  const DWORD self = GetCurrentThreadId();
  std::lock_guard guard(mutex);
  if (closed) return false;
  for (auto& [thread, count] : running) {
    if (thread == self) {
      ++count;
      return true;
    }
  }
  running.emplace_back(self, 1);
  return true;
}

void CDeliveryGate::Leave() {
  const DWORD self = GetCurrentThreadId();
  std::lock_guard guard(mutex);
  for (auto& entry : running) {
    if (entry.first != self) continue;
    if (--entry.second == 0) {
      entry = running.back();
      running.pop_back();
    }
    break;
  }
  idle.notify_all();
}

void CDeliveryGate::Close() {
  std::lock_guard guard(mutex);
  closed = true;
}

void CDeliveryGate::WaitForOthers() {
  const DWORD self = GetCurrentThreadId();
  std::unique_lock guard(mutex);
  idle.wait(guard, [&] {
    return running.empty() || (running.size() == 1 && running.front().first == self);
  });
}
