#include "tests/support/BlackHoleListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

#include "platform/win32/StringConv.h"

CBlackHoleListener::CBlackHoleListener() {
  listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  // A backlog of 0 lets exactly one connection wait for accept; the filler takes that place.
  if (!listener.IsValid() ||
      ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.Get(), 0) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    throw std::runtime_error("black hole: listen");
  }
  port = ntohs(addr.sin_port);
  filler.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!filler.IsValid() ||
      ::connect(filler.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("black hole: filler");
  }
}

std::wstring CBlackHoleListener::Url(std::string_view pathAndQuery) const {
  return Utf8ToWide("http://127.0.0.1:" + std::to_string(port) + std::string(pathAndQuery));
}
