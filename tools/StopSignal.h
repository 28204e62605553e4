// A flag that server threads poll together with their sockets: an eventfd that stays
// readable from Set until Reset. Set, IsSet and the waits from any thread; Reset only while
// no thread waits (before a server starts again).
#ifndef ZVNET_TOOLS_STOPSIGNAL_H_
#define ZVNET_TOOLS_STOPSIGNAL_H_

#include <chrono>

#include "platform/win32/UniqueFd.h"

class CStopSignal {
 public:
  CStopSignal();
  CStopSignal(const CStopSignal&) = delete;
  CStopSignal& operator=(const CStopSignal&) = delete;

  bool IsValid() const { return fd.IsValid(); }
  void Set();
  void Reset();
  bool IsSet() const { return WaitFor(std::chrono::milliseconds(0)); }
  // Readable (POLLIN) while set.
  int WaitFd() const { return fd.Get(); }
  // True when set within `timeout`.
  bool WaitFor(std::chrono::milliseconds timeout) const;
  void Wait() const;

 private:
  UniqueFd fd;
};

#endif  // ZVNET_TOOLS_STOPSIGNAL_H_
