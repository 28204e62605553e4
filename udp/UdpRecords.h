// Records and message numbers shared inside the UDP family: what a channel task posts to its
// owner's window, and what the service keeps per request.
#ifndef ZVNET_UDP_UDPRECORDS_H_
#define ZVNET_UDP_UDPRECORDS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win32/WinTypes.h"
#include "zvnet/zvudp.h"

// Posted by CUdpTask to its owner's window: wParam is the cookie. The message of a request's
// last outcome also ends it, so that no time-out pass can fall between that outcome and the
// end: WM_UDPTASK_RECV_COMPLETE, whose lParam names a reply held in the service's
// CUdpReplyStore, and a failed send (timeout, error, part), whose lParam is then the posting
// task's origin; the other messages carry 0. A reply's cookie comes from the network, so a
// reply counts only for the request its task sent.
inline constexpr UINT WM_UDPTASK_SEND_ERROR = 2255;
inline constexpr UINT WM_UDPTASK_SEND_COMPLETE = 2257;
inline constexpr UINT WM_UDPTASK_RECV_COMPLETE = 2258;
inline constexpr UINT WM_UDPTASK_SEND_TIMEOUT = 2259;
inline constexpr UINT WM_UDPTASK_SEND_PART = 2261;
// 2255 to 2264 map to callbacks; nothing posts the numbers in between the named ones. The
// family registers 2255 to 2265.
inline constexpr UINT WM_UDPTASK_FIRST = 2255;
inline constexpr UINT WM_UDPTASK_LAST_CALLBACK = 2264;
inline constexpr UINT WM_UDPTASK_LAST = 2265;

// Worker thread roles of a CUdpTask; for channels they equal the UDP_CHANNEL_TYPE.
inline constexpr int UDP_THREAD_SEND = 0;
inline constexpr int UDP_THREAD_RECV = 1;
inline constexpr int UDP_THREAD_SEND_RECV = 2;

class CUdpTask;

// Frees a tagUdpOut together with its payload (allocated with array new).
struct UdpOutDeleter {
  void operator()(tagUdpOut* out) const {
    if (!out) return;
    delete[] out->data;
    delete out;
  }
};
using UdpOutPtr = std::unique_ptr<tagUdpOut, UdpOutDeleter>;

// One open request of the service, keyed by its cookie.
struct UdpRequestRecord {
  // The private task of a one-shot request, only to tell the two forms apart: the task
  // owns itself through its thread and may be gone, so this is never dereferenced.
  const CUdpTask* task = nullptr;
  UdpTaskCallback sendCallback = nullptr;
  UdpTaskCallback recvCallback = nullptr;
  int channelId = 0;      // 0 for a one-shot request
  LPARAM origin = 0;      // of the task that sends it (CUdpTask::Origin): only its replies count
  HWND window = nullptr;  // the requesting thread's: its timer and its end rule the request
  unsigned int timeoutMs = 0;
  int64_t startCounter = 0;
  DWORD startTick = 0;
  unsigned long userParam = 0;
};

// The service's copy of a one-shot SendData call, kept while the task limit holds it back.
struct UdpOneShotRequest {
  std::string host;
  unsigned short port = 0;
  std::string payload;
  HWND window = nullptr;
  DWORD threadId = 0;  // for the task's log lines
  int cookie = 0;
  UdpTaskCallback sendCallback = nullptr;
  UdpTaskCallback recvCallback = nullptr;
  unsigned int timeoutMs = 0;
};

#endif  // ZVNET_UDP_UDPRECORDS_H_
