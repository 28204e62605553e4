#include "tests/udp/PrivateNetwork.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"

bool CPrivateNetwork::Enter(std::string* why) {
  if (::unshare(CLONE_NEWNET) != 0) {
    *why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    return false;
  }
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!fd.IsValid() || ::ioctl(fd.Get(), SIOCGIFFLAGS, &request) != 0) {
    *why = std::string("reading the flags of lo: ") + std::strerror(errno);
    return false;
  }
  request.ifr_flags |= IFF_UP;
  if (::ioctl(fd.Get(), SIOCSIFFLAGS, &request) != 0) {
    *why = std::string("bringing lo up: ") + std::strerror(errno);
    return false;
  }
  return true;
}
