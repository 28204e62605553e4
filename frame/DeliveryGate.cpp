#include "frame/DeliveryGate.h"

#include "platform/win32/Thread.h"

bool CDeliveryGate::Enter() {
  std::lock_guard guard(mutex);
  if (closed) return false;
  ++running[GetCurrentThreadId()];
  return true;
}

void CDeliveryGate::Leave() {
  std::lock_guard guard(mutex);
  auto it = running.find(GetCurrentThreadId());
  if (it != running.end() && --it->second == 0) running.erase(it);
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
    return running.empty() || (running.size() == 1 && running.begin()->first == self);
  });
}
