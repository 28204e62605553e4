// Which rtnetlink messages are network changes that matter to a host, judged against what the
// messages before them said. A change that matters: a usable global or site address added or
// removed (IPv4 or IPv6; usable means its duplicate address detection has ended), a default
// route of the main table added, removed or replaced, a link going up or down (IFF_UP and
// IFF_RUNNING together). Not one: a message that repeats what is known (a router's lifetime
// refresh of an address), a tentative or failed address, link-local (fe80::/10, 169.254/16)
// and loopback addresses, other routes, routes of other tables, a link's other attributes.
//
// A pure function of the messages it is given: no sockets, no clock. Feed it the dumps of the
// links and addresses first (answers ignored), so that a refresh of an address that was already
// there is known as one. Applying the same message twice answers false the second time, except
// for default routes, which are not remembered.
//
// Threads: owned and used by one thread at a time.
#ifndef ZVNET_PLATFORM_IPHELPER_NETWORKCHANGEFILTER_LINUX_H_
#define ZVNET_PLATFORM_IPHELPER_NETWORKCHANGEFILTER_LINUX_H_

#include <linux/netlink.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

class CNetworkChangeFilter {
 public:
  // Takes in every message of one received datagram; true when any is a change that matters.
  // Reads nothing past `length`; a cut or malformed message ends the datagram.
  bool ApplyDatagram(const void* data, size_t length);
  // Takes in one message whose nlmsg_len bytes are all readable.
  bool Apply(const nlmsghdr* message);
  // Forgets everything known.
  void Clear();

 private:
  struct AddressKey {
    int linkIndex;
    uint8_t family;
    uint8_t prefixLength;
    std::array<uint8_t, 16> bytes;  // IPv4 in the first four
    auto operator<=>(const AddressKey&) const = default;
  };

  bool ApplyAddress(const nlmsghdr* message);
  bool ApplyLink(const nlmsghdr* message);
  static bool IsMainDefaultRoute(const nlmsghdr* message);

  std::set<AddressKey> usableAddresses;
  std::map<int, bool> linksUp;  // by link index: up and running
};

#endif  // ZVNET_PLATFORM_IPHELPER_NETWORKCHANGEFILTER_LINUX_H_
