#include "frame/DeliveryGate.h"

#include <algorithm>

#include "platform/win32/Thread.h"

CDeliveryGate::Pass& CDeliveryGate::Pass::operator=(Pass&& other) noexcept {
  if (this != &other) {
    if (gate) gate->Leave(serial);
    gate = other.gate;
    serial = other.serial;
    other.gate = nullptr;
  }
  return *this;
}

CDeliveryGate::Pass::~Pass() {
  if (gate) gate->Leave(serial);
}

bool CDeliveryGate::Pass::Revoked() const {
  if (!gate) return true;
  std::lock_guard guard(gate->mutex);
  for (const Running& r : gate->running) {
    if (r.serial == serial) return r.revoked;
  }
  return true;
}

CDeliveryGate::Pass CDeliveryGate::Admit(Tag tag) {
  const DWORD self = GetCurrentThreadId();
  std::lock_guard guard(mutex);
  if (closed) return Pass();
  running.push_back({self, tag, ++nextSerial, false});
  return Pass(this, nextSerial);
}

void CDeliveryGate::Leave(uint64_t serial) {
  std::lock_guard guard(mutex);
  std::erase_if(running, [&](const Running& r) { return r.serial == serial; });
  idle.notify_all();
}

void CDeliveryGate::Close() {
  std::lock_guard guard(mutex);
  closed = true;
}

template <class Pred>
void CDeliveryGate::WaitWhileOthers(Pred matches) {
  const DWORD self = GetCurrentThreadId();
  std::unique_lock guard(mutex);
  for (Running& r : running) {
    if (matches(r.tag)) r.revoked = true;
  }
  idle.wait(guard, [&] {
    return std::none_of(running.begin(), running.end(),
                        [&](const Running& r) { return r.thread != self && matches(r.tag); });
  });
}

void CDeliveryGate::WaitForOthers() {
  WaitWhileOthers([](const Tag&) { return true; });
}

void CDeliveryGate::WaitFor(int id) {
  WaitWhileOthers([&](const Tag& tag) { return tag.id == id; });
}

void CDeliveryGate::WaitForGroup(int group) {
  WaitWhileOthers([&](const Tag& tag) { return tag.group == group; });
}
