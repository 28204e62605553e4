// NotifyRouteChange, NotifyAddrChange and CancelIPChangeNotify in their overlapped form: an
// armed notification is signalled by the first change of the kind it watches (IPv4 or IPv6
// routes, or IPv4 or IPv6 addresses) that happens after arming, and stays signalled until it
// is cancelled. Each arm watches the network namespace of the arming thread.
//
// Threads: one thread arms, waits on and cancels a notification. Each armed notification owns
// one rtnetlink socket, closed by the cancel or with the object.
#ifndef ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_
#define ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_

#ifdef _WIN32
#include "platform/windows/IpChangeNotification.h"  // NotifyRouteChange itself
#else
#include "platform/iphelper/NetlinkSocket.h"
#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

// What an armed overlapped notification answers.
inline constexpr DWORD ERROR_IO_PENDING = 997;

class CIpChangeNotification : public CWaitable {
 public:
  CIpChangeNotification() = default;
  CIpChangeNotification(const CIpChangeNotification&) = delete;
  CIpChangeNotification& operator=(const CIpChangeNotification&) = delete;

  // ERROR_IO_PENDING once armed for changes of `groups` (RTMGRP_* bits), else an errno value.
  DWORD Arm(unsigned int groups);
  void Cancel() { socket.Close(); }
  bool IsArmed() const { return socket.IsOpen(); }

  // Readable from the first change after arming; never readable while not armed.
  int WaitFd() const override { return socket.Fd(); }

 private:
  CNetlinkSocket socket;
};

// Arm `notification` for IPv4 and IPv6 route changes: ERROR_IO_PENDING, or an error code.
DWORD NotifyRouteChange(CIpChangeNotification& notification);
// Arm `notification` for IPv4 and IPv6 address changes: ERROR_IO_PENDING, or an error code.
DWORD NotifyAddrChange(CIpChangeNotification& notification);
BOOL CancelIPChangeNotify(CIpChangeNotification& notification);

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_H_
