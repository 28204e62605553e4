// The exported ZvMsgLoop functions: the calling thread's message loop.
#include "platform/win32/MessageWindow.h"
#include "zvnet/zvmsgloop.h"

namespace ZvMsgLoop {

long Pump(unsigned int timeoutMs) {
  return PumpMessages(timeoutMs);
}
long DispatchPending() {
  return DispatchThreadMessages();
}
int GetWaitFd() {
  return GetThreadMessageWaitFd();
}

}  // namespace ZvMsgLoop
