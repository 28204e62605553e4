// Holds the replies that tasks post with WM_UDPTASK_RECV_COMPLETE until the service claims
// them, so that a reply whose message is never dispatched (its window was destroyed with the
// message still queued, or the post failed) is still freed: by the store's destructor, when
// the service and every task made by it are gone.
//
// Threads: task threads Deposit and Withdraw; window threads Claim. `lock` guards `held`; it
// is taken after every other lock of the family and nothing is called while it is held.
// The store owns every reply it holds; Claim and Withdraw hand ownership back. Each reply
// keeps the origin of the task that read it, so that only the task that sent a request can
// answer it.
#ifndef ZVNET_UDP_UDPREPLYSTORE_H_
#define ZVNET_UDP_UDPREPLYSTORE_H_

#include <map>
#include <mutex>

#include "platform/win32/WinTypes.h"
#include "udp/UdpRecords.h"

class CUdpReplyStore {
 public:
  CUdpReplyStore() = default;
  CUdpReplyStore(const CUdpReplyStore&) = delete;
  CUdpReplyStore& operator=(const CUdpReplyStore&) = delete;

  // Keeps the reply read by the task of `origin`; the answer is the lParam that names it.
  LPARAM Deposit(UdpOutPtr reply, LPARAM origin);
  // The reply named by lParam, with the origin of the task that read it into `origin`; null
  // when the store holds none by that name.
  UdpOutPtr Claim(LPARAM lParam, LPARAM* origin = nullptr);
  // Takes a reply back whose message was not posted.
  UdpOutPtr Withdraw(LPARAM lParam) { return Claim(lParam); }
  size_t HeldCount();

 private:
  struct Held {
    UdpOutPtr reply;
    LPARAM origin = 0;
  };

  std::mutex lock;
  std::map<LPARAM, Held> held;  // by the reply's address
};

#endif  // ZVNET_UDP_UDPREPLYSTORE_H_
