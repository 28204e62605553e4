#include "platform/win32/Thread.h"

#include <process.h>

#include <memory>

namespace {

unsigned __stdcall ThreadStart(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

bool CThread::Start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  const uintptr_t started = ::_beginthreadex(nullptr, 0, ThreadStart, owned.get(), 0, nullptr);
  if (started == 0) return false;
  owned.release();  // the thread frees it
  handle.Reset(reinterpret_cast<HANDLE>(started));
  return true;
}

DWORD CThread::Wait(DWORD timeoutMs) const {
  if (!handle.IsValid()) return WAIT_OBJECT_0;
  return ::WaitForSingleObject(handle.Get(), timeoutMs) == WAIT_OBJECT_0 ? WAIT_OBJECT_0
                                                                         : WAIT_TIMEOUT;
}
