// NotifyRouteChange, NotifyAddrChange and CancelIPChangeNotify in their overlapped form: an
// armed notification is signalled by the first change of the kind it watches (IPv4 or IPv6
// default routes, or IPv4 or IPv6 addresses and links going up or down) that happens after
// arming, and stays signalled until it is cancelled. Only changes that matter to a host signal
// it (NetworkChangeFilter_linux.h): a router refreshing an address's lifetimes, link-local
// addresses and other routes come and go unseen. Each arm watches the network namespace of the
// arming thread.
//
// Threads: one thread arms, waits on and cancels a notification. Each armed notification owns
// one rtnetlink socket, closed by the cancel or with the object. What the messages said is
// kept per thread, across its notifications: the first address arm on a thread reads the
// namespace's links and addresses, and every message a notification reads (also those left
// when it is cancelled) updates it.
#ifndef ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_
#define ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_

#ifdef _WIN32
#include "platform/iphelper/IpChangeNotification_win.h"  // NotifyRouteChange itself
#else
#include "platform/iphelper/NetlinkSocket_linux.h"
#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

// What an armed overlapped notification answers.
inline constexpr DWORD ERROR_IO_PENDING = 997;

class CIpChangeNotification : public CWaitable {
 public:
  CIpChangeNotification() = default;
  ~CIpChangeNotification() override { Cancel(); }
  CIpChangeNotification(const CIpChangeNotification&) = delete;
  CIpChangeNotification& operator=(const CIpChangeNotification&) = delete;

  // ERROR_IO_PENDING once armed for changes of `groups` (RTMGRP_* bits), else an errno value.
  DWORD Arm(unsigned int groups);
  // Takes in the messages still unread, then closes the socket.
  void Cancel();
  bool IsArmed() const { return socket.IsOpen(); }

  // Readable whenever a message arrived; the wait then reads them (ConsumeSignal), and only a
  // change that matters signals the notification. Never readable while not armed.
  int WaitFd() const override { return socket.Fd(); }
  bool ConsumeSignal() const override;
  KnownState StateNow() const override {
    return signalled ? KnownState::kSignalled : KnownState::kUnknown;
  }

 private:
  // Reads every message received so far into the thread's view; true when one mattered.
  bool TakeIn() const;

  // Mutable: a wait reads the socket through the const interface of what it waits on.
  mutable CNetlinkSocket socket;
  mutable bool signalled = false;
};

// Arm `notification` for IPv4 and IPv6 route changes: ERROR_IO_PENDING, or an error code.
DWORD NotifyRouteChange(CIpChangeNotification& notification);
// Arm `notification` for IPv4 and IPv6 address changes: ERROR_IO_PENDING, or an error code.
DWORD NotifyAddrChange(CIpChangeNotification& notification);
BOOL CancelIPChangeNotify(CIpChangeNotification& notification);

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_
