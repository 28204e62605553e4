// Linux: the interrupt reaches the loop as a flag a signal handler sets.
#include <csignal>

#include "cli/HostLoop.h"

CHostLoop::CHostLoop() {
  struct sigaction action {};
  action.sa_handler = [](int) { interrupted = true; };
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
