// Holds the replies that tasks post with WM_UDPTASK_RECV_COMPLETE until the service claims
// them, so that a reply whose message is never dispatched is still freed: when its window
// ends with the message still queued (DropFor), when the post fails (Withdraw), or by the
// store's destructor once the service and every task made by it are gone.
//
// It also knows which replies are awaited: the service opens a cookie with the origin of the
// task that sends it and closes it when the request ends. A task keeps a reply only if its
// cookie is open for that task and not yet answered, and only while it holds fewer than
// kMaxHeldPerTask undispatched replies; anything else is dropped as it arrives, so a peer
// flooding a host that does not pump cannot grow what waits for it.
//
// Threads: task threads Reserve, Deposit and Withdraw; window threads Claim; the service's
// callers and window threads Open and Close. `lock` guards everything here; it is taken after
// every other lock of the family and nothing is called while it is held. The store owns every
// reply it holds; Claim and Withdraw hand ownership back. Each reply keeps the origin of the
// task that read it, so that only the task that sent a request can answer it.
#ifndef ZVNET_UDP_UDPREPLYSTORE_H_
#define ZVNET_UDP_UDPREPLYSTORE_H_

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/win32/WinTypes.h"
#include "udp/UdpRecords.h"

class CUdpReplyStore {
 public:
  // Replies one task may hold for a host that has not dispatched them yet.
  static constexpr size_t kMaxHeldPerTask = 1024;

  // Why a reply was not kept.
  enum class Refusal { kNone, kNotAwaited, kTaskFull };

  CUdpReplyStore() = default;
  CUdpReplyStore(const CUdpReplyStore&) = delete;
  CUdpReplyStore& operator=(const CUdpReplyStore&) = delete;

  // The request `cookie` is open and its reply may come to the task of `origin`; until Close.
  void Open(int cookie, LPARAM origin);
  void Close(int cookie);
  void CloseAll();

  // Before a reply for `cookie` read by the task of `origin` is built: kNone reserves its
  // place, and the cookie counts as answered from then on; the caller then deposits it.
  Refusal Reserve(uint32_t cookie, LPARAM origin);
  // Keeps a reserved reply, posted next to `window`; the answer is the lParam that names it.
  LPARAM Deposit(UdpOutPtr reply, LPARAM origin, HWND window);
  // The reply named by lParam, with the origin of the task that read it into `origin`; null
  // when the store holds none by that name.
  UdpOutPtr Claim(LPARAM lParam, LPARAM* origin = nullptr);
  // Takes a reply back whose message was not posted.
  UdpOutPtr Withdraw(LPARAM lParam) { return Claim(lParam); }
  // Frees the replies posted to `window`, which ended with them queued: nothing claims them.
  void DropFor(HWND window);
  size_t HeldCount();

 private:
  struct Held {
    UdpOutPtr reply;
    LPARAM origin = 0;
    HWND window = nullptr;
  };
  struct Awaited {
    LPARAM origin = 0;
    bool answered = false;  // a reply was kept: repeats are dropped
  };

  std::map<LPARAM, Held>::iterator EraseLocked(std::map<LPARAM, Held>::iterator it);

  std::mutex lock;
  std::map<LPARAM, Held> held;            // by the reply's address
  std::map<LPARAM, size_t> heldByOrigin;  // reserved or held, per task
  std::map<uint32_t, Awaited> awaited;    // open requests by cookie
};

#endif  // ZVNET_UDP_UDPREPLYSTORE_H_
