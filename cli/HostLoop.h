// The command's main-thread loop: pumps zvnet's messages until the work is done or the user
// interrupts (SIGINT/SIGTERM).
#ifndef ZVNET_CLI_HOSTLOOP_H_
#define ZVNET_CLI_HOSTLOOP_H_

#include <functional>

class CHostLoop {
 public:
  // Installs the interrupt handlers.
  CHostLoop();
  // Pumps until `done` answers true (true) or an interrupt arrives (false).
  bool RunUntil(const std::function<bool()>& done);
  static bool Interrupted();
};

#endif  // ZVNET_CLI_HOSTLOOP_H_
