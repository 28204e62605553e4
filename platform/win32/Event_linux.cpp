#include "platform/win32/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/win32/EventFdCache_linux.h"
#include "platform/win32/TsanAnnotations_linux.h"
#include "platform/win32/Wait.h"

namespace {

void WriteOne(int fd) {
  uint64_t one = 1;
  // A full counter (2^64-2 sets without a reset) stays signalled, which is all Set promises.
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool ReadAll(int fd) {
  uint64_t value;
  for (;;) {
    if (::read(fd, &value, sizeof value) == sizeof value) return true;
    if (errno != EINTR) return false;  // EAGAIN: nothing was signalled
  }
}

}  // namespace

CEvent::CEvent(ResetMode mode, bool initiallySet, Source source)
    : fd(source == Source::kRecycled ? CEventFdCache::Get().Take()
                                     : UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))),
      mode(mode),
      source(source) {
  if (initiallySet && fd.IsValid()) {
    WriteOne(fd.Get());
    signalled.store(true);
    written = true;
  }
}

CEvent::~CEvent() {
  if (source != Source::kRecycled || !fd.IsValid()) return;
  // The next owner must find the counter at zero.
  if (mode == ResetMode::kAuto || written) ReadAll(fd.Get());
  CEventFdCache::Get().Give(std::move(fd));
}

void CEvent::Set() {
  AnnotateHappensBefore(this);
  if (mode == ResetMode::kAuto) return WriteOne(fd.Get());
  {
    std::lock_guard guard(stateLock);
    if (signalled.load(std::memory_order_relaxed)) return;
    signalled.store(true, std::memory_order_seq_cst);
    // A wait that counted itself before this store may be polling already: it needs the
    // descriptor. One that counts itself later sees the state.
    if (pollers.load(std::memory_order_seq_cst) == 0) return;
    written = true;
    writing.store(true, std::memory_order_relaxed);
  }
  // Written outside the lock: the waiter this write wakes resets the event at once, and would
  // otherwise sleep on the lock until this thread came back from the system call, two more
  // thread switches per signal. Reset waits for the write instead.
  WriteOne(fd.Get());
  writing.store(false, std::memory_order_release);
}

void CEvent::Reset() {
  if (mode == ResetMode::kAuto) {
    ReadAll(fd.Get());
    return;
  }
  std::lock_guard guard(stateLock);
  if (!signalled.load(std::memory_order_relaxed)) return;
  while (writing.load(std::memory_order_acquire)) std::this_thread::yield();
  if (written) ReadAll(fd.Get());
  written = false;
  signalled.store(false, std::memory_order_release);
}

void CEvent::BeginPoll() const {
  if (mode == ResetMode::kManual) pollers.fetch_add(1, std::memory_order_seq_cst);
}

void CEvent::EndPoll() const {
  if (mode == ResetMode::kManual) pollers.fetch_sub(1, std::memory_order_relaxed);
}

bool CEvent::ConsumeSignal() const {
  if (mode == ResetMode::kManual) return true;
  return ReadAll(fd.Get());  // false: another waiter took it
}

CWaitable::KnownState CEvent::StateNow() const {
  if (mode == ResetMode::kAuto) return KnownState::kUnknown;
  return signalled.load(std::memory_order_seq_cst) ? KnownState::kSignalled : KnownState::kClear;
}

bool CEvent::IsSet() const {
  if (mode == ResetMode::kManual) {
    if (!signalled.load(std::memory_order_acquire)) return false;
    AnnotateHappensAfter(this);
    return true;
  }
  return Wait(0) == WAIT_OBJECT_0;
}

DWORD CEvent::Wait(DWORD timeoutMs) const {
  return WaitForSingleObject(*this, timeoutMs);
}
