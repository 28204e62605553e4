#include "platform/iphelper/InternetConnectedState.h"

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <map>
#include <vector>

#include "platform/iphelper/NetlinkSocket_linux.h"

namespace {

// Interface index to its IFF_* flags.
using LinkFlags = std::map<int, unsigned int>;

bool ReadLinks(CNetlinkSocket& socket, LinkFlags& links) {
  return socket.Dump(RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWLINK) return;
    const auto* link = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
    links[link->ifi_index] = link->ifi_flags;
  });
}

// The outgoing interfaces of one route: its RTA_OIF and those of its multipath next hops.
void CollectRouteInterfaces(const nlmsghdr* message, std::vector<int>& interfaces) {
  const char* end = static_cast<const char*>(mnl_nlmsg_get_payload_tail(message));
  for (auto* attribute =
           static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(message, sizeof(rtmsg)));
       mnl_attr_ok(attribute, static_cast<int>(end - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    const uint16_t type = mnl_attr_get_type(attribute);
    if (type == RTA_OIF && mnl_attr_get_payload_len(attribute) >= sizeof(uint32_t)) {
      interfaces.push_back(static_cast<int>(mnl_attr_get_u32(attribute)));
    } else if (type == RTA_MULTIPATH) {
      const auto* hop = static_cast<const rtnexthop*>(mnl_attr_get_payload(attribute));
      int left = mnl_attr_get_payload_len(attribute);
      while (left >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
             hop->rtnh_len <= left) {
        interfaces.push_back(hop->rtnh_ifindex);
        left -= RTNH_ALIGN(hop->rtnh_len);
        hop = RTNH_NEXT(hop);
      }
    }
  }
}

bool IsUsableDefaultRoute(const nlmsghdr* message) {
  if (message->nlmsg_type != RTM_NEWROUTE) return false;
  const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  // Unreachable, blackhole and prohibit defaults lead nowhere; the local table holds no way out.
  return route->rtm_dst_len == 0 && route->rtm_type == RTN_UNICAST &&
         route->rtm_table != RT_TABLE_LOCAL;
}

bool ReadDefaultRouteInterfaces(CNetlinkSocket& socket, uint8_t family,
                                std::vector<int>& interfaces) {
  return socket.Dump(RTM_GETROUTE, family, [&](const nlmsghdr* message) {
    if (IsUsableDefaultRoute(message)) CollectRouteInterfaces(message, interfaces);
  });
}

bool HasWayOut(const LinkFlags& links, const std::vector<int>& interfaces) {
  for (int index : interfaces) {
    auto it = links.find(index);
    if (it == links.end()) continue;
    if ((it->second & IFF_UP) && !(it->second & IFF_LOOPBACK)) return true;
  }
  return false;
}

}  // namespace

BOOL InternetGetConnectedState(DWORD* flags, DWORD /*reserved*/) {
  if (flags) *flags = 0;
  CNetlinkSocket socket;
  if (socket.Open(0) != 0) return FALSE;
  LinkFlags links;
  std::vector<int> interfaces;
  if (!ReadLinks(socket, links) || !ReadDefaultRouteInterfaces(socket, AF_INET, interfaces) ||
      !ReadDefaultRouteInterfaces(socket, AF_INET6, interfaces)) {
    return FALSE;
  }
  if (!HasWayOut(links, interfaces)) return FALSE;
  if (flags) *flags = INTERNET_CONNECTION_LAN;
  return TRUE;
}
