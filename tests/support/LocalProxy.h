// A real proxy from Debian started by the test on a free port of 127.0.0.1: tinyproxy as an
// HTTP proxy with Basic authentication, or microsocks as a SOCKS5 proxy with user name and
// password. The destructor stops it (by its own process id) and removes its files.
#ifndef ZVNET_TESTS_SUPPORT_LOCALPROXY_H_
#define ZVNET_TESTS_SUPPORT_LOCALPROXY_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

class CLocalProxy {
 public:
  enum class Kind { kHttp, kSocks5 };

  // Empty `user` starts the proxy without authentication.
  CLocalProxy(Kind kind, const std::string& user = "", const std::string& password = "");
  ~CLocalProxy();
  CLocalProxy(const CLocalProxy&) = delete;
  CLocalProxy& operator=(const CLocalProxy&) = delete;

  // False when the program is missing or did not start listening in time.
  bool Started() const { return started; }
  uint16_t Port() const { return port; }
  // "127.0.0.1:<port>".
  std::string HostPort() const;

 private:
  pid_t pid = -1;
  uint16_t port = 0;
  bool started = false;
  std::string configFile;
};

#endif  // ZVNET_TESTS_SUPPORT_LOCALPROXY_H_
