// ZvUdp: framed, checksummed request/response exchanges over UDP.
//
// Callbacks arrive on the thread that created the channel (or made the one-shot request),
// while it runs its message loop (zvmsgloop.h).
#ifndef ZVNET_ZVUDP_H_
#define ZVNET_ZVUDP_H_

#include <cstdint>
#include <string>

#include "zvnet/zvdefs.h"

// The server of a channel; read once by CreateChannel.
struct tagUdpServer {
  std::string host;  // host name or dotted IPv4 address
  unsigned short port = 0;
};

// One request without a channel; copied before SendData returns.
struct tagUdpTaskParam {
  std::string host;
  unsigned short port = 0;
  std::string data;  // sent up to its first zero byte
};

enum UDP_ERRORCODE : int32_t {
  UDP_RECV_SUCCESS = 0,
  UDP_SEND_SUCCESS = 1,
  UDP_SEND_TIMEOUT = 5,
  UDP_SEND_ERROR = 7,
  UDP_SEND_PART = 9,
  UDP_TASK_TIMEOUT = 12,
};

// A received reply; owned by the library and valid only during the callback.
struct tagUdpOut {
  UDP_ERRORCODE code = UDP_RECV_SUCCESS;
  unsigned char* data = nullptr;  // unscrambled payload, no terminating zero
  int dataLength = 0;             // 0 to 1012
};

enum UDP_CHANNEL_TYPE : uint32_t {
  UDP_CHANNEL_SEND = 0,
  UDP_CHANNEL_RECV = 1,
  UDP_CHANNEL_SEND_RECV = 2,
  UDP_CHANNEL_DUPLEX = 3,
};

typedef int(ZV_STDCALL* UdpTaskCallback)(int cookie, unsigned long userParam, UDP_ERRORCODE code,
                                         tagUdpOut* out);

#endif  // ZVNET_ZVUDP_H_
