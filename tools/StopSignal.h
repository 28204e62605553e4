// A flag that server threads poll together with their sockets: readable from Set until Reset
// (an eventfd on POSIX; on Windows, whose poll takes only sockets, a loopback datagram socket
// connected to itself, readable while what it sent itself waits). Set, IsSet and the waits
// from any thread; Reset only while no thread waits (before a server starts again).
#ifndef ZVNET_TOOLS_STOPSIGNAL_H_
#define ZVNET_TOOLS_STOPSIGNAL_H_

#include <chrono>

#include "tools/UniqueSocket.h"

class CStopSignal {
 public:
  CStopSignal();
  CStopSignal(const CStopSignal&) = delete;
  CStopSignal& operator=(const CStopSignal&) = delete;

  bool IsValid() const { return handle.IsValid(); }
  void Set();
  void Reset();
  bool IsSet() const { return WaitFor(std::chrono::milliseconds(0)); }
  // Readable (POLLIN) while set.
  SocketHandle WaitFd() const { return handle.Get(); }
  // True when set within `timeout`.
  bool WaitFor(std::chrono::milliseconds timeout) const;
  void Wait() const;

 private:
  UniqueSocket handle;  // on POSIX the eventfd, closed as any descriptor
};

#endif  // ZVNET_TOOLS_STOPSIGNAL_H_
