// Windows: Ctrl-C and Ctrl-Break through the console's control handler, which runs on a
// thread of its own and only sets the flag the loop polls.
#include "cli/HostLoop.h"

#include <atomic>

#include "zvnet/zvmsgloop.h"

namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  interrupted = true;
  return TRUE;
}

}  // namespace

CHostLoop::CHostLoop() {
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

bool CHostLoop::RunUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (interrupted) return false;
    // A short wait keeps the interrupt check prompt; messages wake the pump at once.
    ZvMsgLoop::Pump(100);
  }
  return true;
}

bool CHostLoop::Interrupted() {
  return interrupted;
}
