// An rtnetlink socket of the calling thread's network namespace (libmnl), optionally joined
// to multicast groups, that can also run a dump request.
//
// Threads: owned and used by one thread at a time. Owns the socket; closing the object (or
// Close) closes it.
#ifndef ZVNET_PLATFORM_IPHELPER_NETLINKSOCKET_LINUX_H_
#define ZVNET_PLATFORM_IPHELPER_NETLINKSOCKET_LINUX_H_

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct mnl_socket;

class CNetlinkSocket {
 public:
  using MessageHandler = std::function<void(const nlmsghdr*)>;
  using DatagramHandler = std::function<void(const void* data, size_t length)>;

  CNetlinkSocket() = default;
  CNetlinkSocket(const CNetlinkSocket&) = delete;
  CNetlinkSocket& operator=(const CNetlinkSocket&) = delete;
  ~CNetlinkSocket() = default;

  // Opens a NETLINK_ROUTE socket joined to `groups` (RTMGRP_* bits, 0 for none). The socket
  // belongs to the network namespace of the calling thread. Answers 0 or an errno value.
  int Open(unsigned int groups);
  void Close() { socket.reset(); }
  bool IsOpen() const { return socket != nullptr; }
  // -1 while closed.
  int Fd() const;

  // Hands each datagram already received to `onDatagram`, without waiting for more. Answers 0
  // once none is left, or an errno value: ENOBUFS when the kernel dropped messages for want of
  // room, EMSGSIZE when a datagram was cut.
  int ReadPending(const DatagramHandler& onDatagram);

  // Asks for a dump of `type` (RTM_GETLINK, RTM_GETADDR or RTM_GETROUTE) of address family `family`
  // and hands every answer message to `onMessage`. False on any failure of the exchange.
  bool Dump(uint16_t type, uint8_t family, const MessageHandler& onMessage);

 private:
  struct Closer {
    void operator()(mnl_socket* nl) const;
  };

  std::unique_ptr<mnl_socket, Closer> socket;
  unsigned int sequence = 0;  // of the last dump request
};

#endif  // ZVNET_PLATFORM_IPHELPER_NETLINKSOCKET_LINUX_H_
