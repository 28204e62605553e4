#include "platform/iphelper/IpChangeNotification.h"

#include <linux/rtnetlink.h>

DWORD CIpChangeNotification::Arm(unsigned int groups) {
  const int error = socket.Open(groups);
  return error == 0 ? ERROR_IO_PENDING : static_cast<DWORD>(error);
}

DWORD NotifyRouteChange(CIpChangeNotification& notification) {
  return notification.Arm(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
}

DWORD NotifyAddrChange(CIpChangeNotification& notification) {
  return notification.Arm(RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR);
}

BOOL CancelIPChangeNotify(CIpChangeNotification& notification) {
  if (!notification.IsArmed()) return FALSE;
  notification.Cancel();
  return TRUE;
}
