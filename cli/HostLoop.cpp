#include "cli/HostLoop.h"

#include <csignal>

#include "zvnet/zvmsgloop.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int) {
  interrupted = 1;
}

}  // namespace

CHostLoop::CHostLoop() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
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
  return interrupted != 0;
}
