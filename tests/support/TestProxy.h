// A real proxy from Debian's packages, started for one test on a free port of 127.0.0.1:
// tinyproxy for HTTP (optionally with Basic authentication) or microsocks for SOCKS5 (with
// user name and password). Its configuration and log live in a private folder; the destructor
// stops the process (by its pid) and waits for it.
#ifndef ZVNET_TESTS_SUPPORT_TESTPROXY_H_
#define ZVNET_TESTS_SUPPORT_TESTPROXY_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/TempFolder.h"

class CTestProxy {
 public:
  // Null when the proxy could not be started and reached within a few seconds.
  static std::unique_ptr<CTestProxy> Start(bool http, const std::string& user = "",
                                           const std::string& password = "");
  ~CTestProxy();

  uint16_t Port() const { return port; }
  // What the proxy logged so far (tinyproxy's log file, microsocks' output).
  std::string Log() const { return folder.Read(http ? "proxy.log" : "output.log"); }

 private:
  CTestProxy() = default;

  CTempFolder folder;
  bool http = true;
  pid_t pid = -1;
  uint16_t port = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_TESTPROXY_H_
