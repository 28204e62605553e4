#include "platform/iphelper/IpChangeNotification.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/iphelper/NetworkChangeFilter_linux.h"

namespace {

constexpr unsigned int kAddressGroups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_LINK;

// What this thread's notifications have been told about its namespace.
struct ThreadView {
  CNetworkChangeFilter filter;
  bool known = false;  // read from the namespace since the thread began or last lost messages
};

ThreadView& ThisThreadView() {
  thread_local ThreadView view;
  return view;
}

// Reads the namespace's links and addresses into the view. Called with a notification socket
// already subscribed, so a change after the dump arrives there as a message.
int LearnNamespace(ThreadView& view) {
  view.filter.Clear();
  CNetlinkSocket dump;
  if (int error = dump.Open(0); error != 0) return error;
  auto learn = [&view](const nlmsghdr* message) { view.filter.Apply(message); };
  if (!dump.Dump(RTM_GETLINK, AF_UNSPEC, learn) || !dump.Dump(RTM_GETADDR, AF_UNSPEC, learn)) {
    return EIO;
  }
  view.known = true;
  return 0;
}

}  // namespace

DWORD CIpChangeNotification::Arm(unsigned int groups) {
  Cancel();
  signalled = false;
  if (const int error = socket.Open(groups); error != 0) return static_cast<DWORD>(error);
  ThreadView& view = ThisThreadView();
  if ((groups & kAddressGroups) != 0 && !view.known) {
    if (const int error = LearnNamespace(view); error != 0) {
      socket.Close();
      return static_cast<DWORD>(error);
    }
  }
  return ERROR_IO_PENDING;
}

void CIpChangeNotification::Cancel() {
  if (!socket.IsOpen()) return;
  // What arrived before the cancel is part of the state that the next notification builds on.
  TakeIn();
  socket.Close();
}

bool CIpChangeNotification::ConsumeSignal() const {
  if (TakeIn()) signalled = true;
  return signalled;
}

bool CIpChangeNotification::TakeIn() const {
  ThreadView& view = ThisThreadView();
  bool changed = false;
  const int error = socket.ReadPending(
      [&](const void* data, size_t length) { changed |= view.filter.ApplyDatagram(data, length); });
  if (error != 0) {
    // Messages were lost or the socket failed: what changed cannot be told, so it counts, and
    // the next address arm reads the namespace again.
    view.known = false;
    changed = true;
  }
  return changed;
}

DWORD NotifyRouteChange(CIpChangeNotification& notification) {
  return notification.Arm(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
}

DWORD NotifyAddrChange(CIpChangeNotification& notification) {
  return notification.Arm(kAddressGroups);
}

BOOL CancelIPChangeNotify(CIpChangeNotification& notification) {
  if (!notification.IsArmed()) return FALSE;
  notification.Cancel();
  return TRUE;
}
