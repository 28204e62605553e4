// The command's loop; the interrupt handlers are the platform's (HostLoop_linux.cpp,
// HostLoop_win.cpp).
#include "cli/HostLoop.h"

#include "zvnet/zvmsgloop.h"

bool CHostLoop::RunUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (interrupted) return false;
    // A short wait keeps the interrupt check prompt; messages wake the pump at once.
    ZvMsgLoop::Pump(100);
  }
  return true;
}
