#include "platform/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/TsanAnnotations.h"
#include "platform/Wait.h"

CEvent::CEvent(ResetMode mode, bool initiallySet)
    : fd(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), mode(mode) {}

void CEvent::Set() {
  AnnotateHappensBefore(this);
  uint64_t one = 1;
  // A full counter (2^64-2 sets without a reset) stays signalled, which is all Set promises.
  while (::write(fd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void CEvent::Reset() {
  uint64_t value;
  while (::read(fd.Get(), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool CEvent::ConsumeSignal() const {
  if (mode == ResetMode::kManual) return true;
  uint64_t value;
  for (;;) {
    if (::read(fd.Get(), &value, sizeof value) == sizeof value) return true;
    if (errno != EINTR) return false;  // EAGAIN: another waiter took it
  }
}

bool CEvent::IsSet() const {
  return Wait(0) == WAIT_OBJECT_0;
}

DWORD CEvent::Wait(DWORD timeoutMs) const {
  return WaitForSingleObject(*this, timeoutMs);
}
