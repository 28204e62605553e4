// A port on 127.0.0.1 whose connection attempts never complete: the listener's accept queue
// is full and never drained, so the kernel drops every new SYN and clients stay in their
// connect phase until they give up or are stopped.
#ifndef ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_
#define ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/win32/StringConv.h"
#include "platform/win32/UniqueFd.h"
#include "tests/support/LoopbackPort.h"

class CBlackHoleListener {
 public:
  CBlackHoleListener() {
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    // A backlog of 0 lets exactly one connection wait for accept; the filler takes that place.
    if (!listener.IsValid() || ::bind(listener.Get(), raw, sizeof address) != 0 ||
        ::listen(listener.Get(), 0) != 0 || ::getsockname(listener.Get(), raw, &length) != 0 ||
        !filler.IsValid() || ::connect(filler.Get(), raw, sizeof address) != 0) {
      throw std::runtime_error("black hole: listen");
    }
    port = ntohs(address.sin_port);
  }
  CBlackHoleListener(const CBlackHoleListener&) = delete;
  CBlackHoleListener& operator=(const CBlackHoleListener&) = delete;

  uint16_t Port() const { return port; }
  // "http://127.0.0.1:<port>" + pathAndQuery, widened.
  std::wstring Url(std::string_view pathAndQuery) const {
    return Utf8ToWide("http://127.0.0.1:" + std::to_string(port) + std::string(pathAndQuery));
  }

 private:
  UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  UniqueFd filler{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};  // fills the accept queue
  uint16_t port = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_
