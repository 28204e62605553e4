// The interrupt reaches the loop as a flag it polls. On Linux a signal handler sets it; on
// Windows the console's control handler (Ctrl-C, Ctrl-Break, closing the console), which runs
// on a thread of its own.
#include "cli/HostLoop.h"

#include <atomic>
#include <csignal>

#include "zvnet/zvmsgloop.h"

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  interrupted = true;
  return TRUE;
}
#else
void OnSignal(int) {
  interrupted = true;
}
#endif

}  // namespace

CHostLoop::CHostLoop() {
#ifdef _WIN32
  ::SetConsoleCtrlHandler(OnControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
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
