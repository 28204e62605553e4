#include "platform/iphelper/NetworkChangeFilter_linux.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

namespace {

// The fixed header after the netlink header, copied out (the caller's buffer may be anywhere),
// or false when the message is too short to hold it.
template <typename Header>
bool ReadHeader(const nlmsghdr* message, Header* header) {
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(Header))) return false;
  std::memcpy(header, NLMSG_DATA(message), sizeof(Header));
  return true;
}

// Calls visit(type, data, length) for each attribute after the fixed header of `fixedSize`
// bytes, stopping at the first one that does not fit in the message.
template <typename Visit>
void ForEachAttribute(const nlmsghdr* message, size_t fixedSize, Visit visit) {
  const auto* base = reinterpret_cast<const unsigned char*>(message);
  const size_t end = message->nlmsg_len;
  size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(fixedSize);
  while (offset + sizeof(nlattr) <= end) {
    nlattr attribute;
    std::memcpy(&attribute, base + offset, sizeof attribute);
    if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > end - offset) return;
    visit(attribute.nla_type & NLA_TYPE_MASK, base + offset + NLA_HDRLEN,
          size_t{attribute.nla_len} - NLA_HDRLEN);
    offset += NLA_ALIGN(attribute.nla_len);
  }
}

uint32_t ReadU32(const unsigned char* data) {
  uint32_t value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Addresses that never reach beyond the link or the machine, whatever scope they were given.
bool IsLinkLocalOrLoopback(uint8_t family, const unsigned char* bytes) {
  if (family == AF_INET) {
    return bytes[0] == 127 || (bytes[0] == 169 && bytes[1] == 254);
  }
  static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) ||
         std::memcmp(bytes, kLoopback6, sizeof kLoopback6) == 0;
}

}  // namespace

bool CNetworkChangeFilter::ApplyDatagram(const void* data, size_t length) {
  bool changed = false;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length) break;
    // Messages start aligned in a datagram the kernel sends; anything else is not ours.
    if (reinterpret_cast<uintptr_t>(bytes) % alignof(nlmsghdr) != 0) break;
    changed |= Apply(reinterpret_cast<const nlmsghdr*>(bytes));
    const size_t step = NLMSG_ALIGN(header.nlmsg_len);
    if (step >= length) break;
    bytes += step;
    length -= step;
  }
  return changed;
}

bool CNetworkChangeFilter::Apply(const nlmsghdr* message) {
  switch (message->nlmsg_type) {
    case RTM_NEWADDR:
    case RTM_DELADDR:
      return ApplyAddress(message);
    case RTM_NEWLINK:
    case RTM_DELLINK:
      return ApplyLink(message);
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
      return IsMainDefaultRoute(message);
    default:
      return false;
  }
}

void CNetworkChangeFilter::Clear() {
  usableAddresses.clear();
  linksUp.clear();
}

bool CNetworkChangeFilter::ApplyAddress(const nlmsghdr* message) {
  ifaddrmsg info;
  if (!ReadHeader(message, &info)) return false;
  size_t size;
  if (info.ifa_family == AF_INET) {
    size = 4;
  } else if (info.ifa_family == AF_INET6) {
    size = 16;
  } else {
    return false;
  }
  // Link and host scopes never leave the machine's links.
  if (info.ifa_scope >= RT_SCOPE_LINK) return false;
  const unsigned char* local = nullptr;
  const unsigned char* address = nullptr;
  uint32_t flags = info.ifa_flags;
  ForEachAttribute(message, sizeof info,
                   [&](uint16_t type, const unsigned char* data, size_t length) {
                     if (type == IFA_LOCAL && length == size) local = data;
                     if (type == IFA_ADDRESS && length == size) address = data;
                     if (type == IFA_FLAGS && length >= sizeof(uint32_t)) flags = ReadU32(data);
                   });
  // IFA_ADDRESS is the peer's on a point-to-point link; IFA_LOCAL, when present, is ours.
  const unsigned char* ours = local ? local : address;
  if (!ours || IsLinkLocalOrLoopback(info.ifa_family, ours)) return false;

  AddressKey key{static_cast<int>(info.ifa_index), info.ifa_family, info.ifa_prefixlen, {}};
  std::memcpy(key.bytes.data(), ours, size);
  const bool usable =
      message->nlmsg_type == RTM_NEWADDR && (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) == 0;
  // A known address announced again is a lifetime refresh; a tentative one counts only once
  // its detection of duplicates ends.
  return usable ? usableAddresses.insert(key).second : usableAddresses.erase(key) > 0;
}

bool CNetworkChangeFilter::ApplyLink(const nlmsghdr* message) {
  ifinfomsg info;
  if (!ReadHeader(message, &info)) return false;
  // A bridge reports its ports with AF_BRIDGE, and a port leaving it with RTM_DELLINK: the
  // link itself is told of with AF_UNSPEC.
  if (info.ifi_family != AF_UNSPEC || (info.ifi_flags & IFF_LOOPBACK)) return false;
  const int index = info.ifi_index;
  if (message->nlmsg_type == RTM_DELLINK) {
    auto it = linksUp.find(index);
    if (it == linksUp.end()) return false;
    const bool wasUp = it->second;
    linksUp.erase(it);
    return wasUp;
  }
  const bool up = (info.ifi_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
  auto [it, isNew] = linksUp.try_emplace(index, up);
  if (isNew) return up;                // a link that comes already up
  if (it->second == up) return false;  // another attribute changed
  it->second = up;
  return true;
}

bool CNetworkChangeFilter::IsMainDefaultRoute(const nlmsghdr* message) {
  rtmsg route;
  if (!ReadHeader(message, &route)) return false;
  if (route.rtm_family != AF_INET && route.rtm_family != AF_INET6) return false;
  if (route.rtm_dst_len != 0 || route.rtm_type != RTN_UNICAST) return false;
  if (route.rtm_flags & RTM_F_CLONED) return false;  // a cache entry, not the table's route
  uint32_t table = route.rtm_table;
  ForEachAttribute(message, sizeof route,
                   [&](uint16_t type, const unsigned char* data, size_t length) {
                     if (type == RTA_TABLE && length >= sizeof(uint32_t)) table = ReadU32(data);
                   });
  return table == RT_TABLE_MAIN;
}
