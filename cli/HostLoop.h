// The command's main-thread loop: pumps zvnet's messages until the work is done or the user
// interrupts (Ctrl-C: SIGINT/SIGTERM, or the console's control events).
#ifndef ZVNET_CLI_HOSTLOOP_H_
#define ZVNET_CLI_HOSTLOOP_H_

#include <atomic>
#include <functional>

class CHostLoop {
 public:
  // Installs the interrupt handlers (HostLoop_linux.cpp, HostLoop_win.cpp).
  CHostLoop();
  // Pumps until `done` answers true (true) or an interrupt arrives (false).
  bool RunUntil(const std::function<bool()>& done);
  static bool Interrupted() { return interrupted; }

 private:
  // Set by a signal handler on Linux, by the console's control handler thread on Windows.
  static inline std::atomic<bool> interrupted{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
};

#endif  // ZVNET_CLI_HOSTLOOP_H_
