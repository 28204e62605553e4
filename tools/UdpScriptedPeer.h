// A UDP peer that answers as its owner tells it, from one loopback socket, and sees how much
// of what it sent the client has not read yet (/proc/net/udp), so that a flood never outruns
// the client's receive buffer: a datagram the kernel dropped would prove nothing. Linux only.
//
// Threads: one owner thread. The peer owns its socket.
#ifndef ZVNET_TOOLS_UDPSCRIPTEDPEER_H_
#define ZVNET_TOOLS_UDPSCRIPTEDPEER_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/UniqueSocket.h"

class CUdpScriptedPeer {
 public:
  CUdpScriptedPeer();
  unsigned short Port() const { return port; }

  // The next request's cookie, with the client's address kept for the replies; 0 when none
  // comes within 20 s.
  uint32_t ReadRequest();
  // A well-formed reply with `cookie` to the client of the last request read.
  void Reply(uint32_t cookie, const std::string& payload);
  // Waits until the client's socket has nothing left unread; false when it still has after
  // `deadline`, or is gone.
  bool WaitUntilRead(std::chrono::milliseconds deadline = std::chrono::seconds(20));

 private:
  long UnreadBytes() const;

  UniqueSocket socket;
  unsigned short port = 0;
  sockaddr_in client{};
};

#endif  // ZVNET_TOOLS_UDPSCRIPTEDPEER_H_
