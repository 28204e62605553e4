// A port on 127.0.0.1 whose connection attempts never complete: the listener's accept queue
// is full and never drained, so the kernel drops every new SYN and clients stay in their
// connect phase until they give up or are stopped.
#ifndef ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_
#define ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32/UniqueFd.h"

class CBlackHoleListener {
 public:
  CBlackHoleListener();
  CBlackHoleListener(const CBlackHoleListener&) = delete;
  CBlackHoleListener& operator=(const CBlackHoleListener&) = delete;

  uint16_t Port() const { return port; }
  // "http://127.0.0.1:<port>" + pathAndQuery, widened.
  std::wstring Url(std::string_view pathAndQuery) const;

 private:
  UniqueFd listener;
  UniqueFd filler;  // the one connection that fills the accept queue
  uint16_t port = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_BLACKHOLELISTENER_H_
