// Ports of 127.0.0.1 for tests that start servers or need a port where nothing listens.
#ifndef ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_
#define ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "platform/win32/UniqueFd.h"

inline sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port of 127.0.0.1 that was free a moment ago: nothing listens there, so connections are
// refused until someone binds it. 0 when no socket could be bound.
inline uint16_t FreeLoopbackPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  if (!fd.IsValid() ||
      ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);  // released when `fd` closes
}

// Whether a TCP connection to 127.0.0.1:`port` is accepted now.
inline bool LoopbackAccepts(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = LoopbackAddress(port);
  return fd.IsValid() &&
         ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// "http://127.0.0.1:<port>/", widened: a URL whose connections are refused.
inline std::wstring RefusedUrl() {
  return L"http://127.0.0.1:" + std::to_wstring(FreeLoopbackPort()) + L"/";
}

#endif  // ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_
