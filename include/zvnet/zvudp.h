// ZvUdp: framed, checksummed request/response exchanges over UDP.
//
// Callbacks arrive on the thread that created the channel (or made the one-shot request),
// while it runs its message loop (zvmsgloop.h). Each request ends exactly once: with its reply,
// a failed send, its time-out, or silently when stopped, closed or dropped by Uninit.
//
// Replies are kept for a thread that has not pumped yet only if they answer an open request
// of the channel (or one-shot request) that sent it, one reply per request, and at most 1024
// per channel; anything else is dropped as it arrives, so a flooding peer cannot grow what
// waits for the host. A request whose reply was dropped ends with its time-out.
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

// Every function answers 0 for success and E_FAIL for any failure; all but Init answer E_FAIL
// while the family is not initialised.
namespace ZvUdp {

// Counts one use; the first creates the family's service.
ZVNET_API long Init();
// Ends one use; the last closes every channel and drops every open request without callbacks.
ZVNET_API long Uninit();

// Opens a channel to `server` (copied) with the threads of `type`; *channelId receives its id.
// At most nine channels are open at a time.
ZVNET_API long CreateChannel(UDP_CHANNEL_TYPE type, tagUdpServer* server, int* channelId);
// Closes the channel; its open requests get no further callbacks. Called on another thread
// than the channel's, it returns once a callback of the channel running there has returned.
ZVNET_API long CloseChannel(int channelId);

// Queues `data` (up to its first zero byte) as one request on the channel and returns at once.
// sendCallback gets the sending outcome (1, 5, 7 or 9), recvCallback the reply (0) or the
// time-out (12); either may be null. timeoutMs counts from this call. resetDomain resolves the
// channel's host again before this datagram. *cookie, if given, receives the request id.
// Ids of both SendData forms count from 1 up, and after the largest int from 1 again, passing
// over the ids of open and held-back requests.
ZVNET_API long SendData(int channelId, const char* data, UdpTaskCallback sendCallback,
                        UdpTaskCallback recvCallback, unsigned int timeoutMs,
                        unsigned long userParam, int* cookie, bool resetDomain);
// One request without a channel (copied before the call returns): sent once on a private
// socket, one reply read. `callback` gets every outcome, with userParam 0. Requests beyond the
// task limit are held back and start, oldest first, as open requests end.
ZVNET_API long SendData(tagUdpTaskParam* param, UdpTaskCallback callback, unsigned int timeoutMs,
                        int* cookie);

// Cancels a request. 0 when it was held back (dropped, no callback) or still queued on its
// channel (not sent; it ends with the time-out callback); otherwise the request is forgotten,
// no further callback comes, and the answer is E_FAIL (also for an unknown cookie). Called on
// another thread, it returns once a callback of the request running there has returned.
ZVNET_API long StopTask(int cookie);

// One-shot requests are held back while this many requests or more are open (default 10);
// compared unsigned, so a negative value means no limit and 0 holds every one back.
ZVNET_API long SetMaxTaskNum(int maxTaskNum);

}  // namespace ZvUdp

#endif  // ZVNET_ZVUDP_H_
