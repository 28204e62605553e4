// Built without GIO: the system's settings are the proxy environment variables, which libcurl
// reads for each transfer.
#include "platform/wininet/SystemProxyResolver_linux.h"

std::unique_ptr<CSystemProxyResolver::CTicket> CSystemProxyResolver::Lookup(const std::string&,
                                                                            Done done) {
  done(Answer{Answer::Kind::kEnvironment, {}});
  return nullptr;
}
