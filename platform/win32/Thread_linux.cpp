#include "platform/win32/Thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

CThread::~CThread() {
  if (!thread.joinable()) return;
  if (IsCurrent() || ended->Wait(0) != WAIT_OBJECT_0) {
    thread.detach();
  } else {
    thread.join();
  }
}

bool CThread::Start(std::function<void()> body) {
  auto event = std::make_shared<CEvent>(CEvent::ResetMode::kManual);
  if (!event->IsValid()) return false;
  try {
    thread = std::thread([body = std::move(body), event] {
      body();
      event->Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  ended = std::move(event);
  return true;
}

DWORD CThread::Wait(DWORD timeoutMs) const {
  if (!ended) return WAIT_OBJECT_0;
  return ended->Wait(timeoutMs);
}

DWORD GetCurrentThreadId() {
  thread_local const DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
  return id;
}

void LowerCurrentThreadPriority() {
  ::setpriority(PRIO_PROCESS, GetCurrentThreadId(), 19);  // a refusal changes nothing
}
