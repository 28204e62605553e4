// A real proxy from Debian's packages, started for one test on a free port of 127.0.0.1:
// tinyproxy for HTTP (optionally with Basic authentication) or microsocks for SOCKS5 (with
// user name and password). Its configuration and log live in a private folder that goes
// with the object; the destructor stops the process (by its pid) and waits for it.
//
//   auto proxy = CTestProxy::StartHttp("alice", "secret");
//   ASSERT_TRUE(proxy) << "tinyproxy did not start";
//   ... proxy->Port() ... proxy->Log() ...
#ifndef ZVNET_TESTS_SUPPORT_TESTPROXY_H_
#define ZVNET_TESTS_SUPPORT_TESTPROXY_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CTestProxy {
 public:
  // Null when the proxy could not be started and reached within a few seconds.
  static std::unique_ptr<CTestProxy> StartHttp(const std::string& user = "",
                                               const std::string& password = "");
  static std::unique_ptr<CTestProxy> StartSocks5(const std::string& user,
                                                 const std::string& password);
  ~CTestProxy();
  CTestProxy(const CTestProxy&) = delete;
  CTestProxy& operator=(const CTestProxy&) = delete;

  uint16_t Port() const { return port; }
  // "127.0.0.1:<port>".
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port); }
  // What the proxy logged so far (tinyproxy's log file, microsocks' output).
  std::string Log() const;
  // Waits until the log contains `text`.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds deadline) const;

 private:
  CTestProxy() = default;
  static std::unique_ptr<CTestProxy> Start(bool http, const std::string& user,
                                           const std::string& password);
  bool Launch(const std::vector<std::string>& argv, const std::string& outputPath);
  bool WaitUntilListening(std::chrono::milliseconds deadline);

  std::string folder;   // private folder with the configuration and the log
  std::string logPath;  // where the proxy's lines go
  pid_t pid = -1;
  uint16_t port = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_TESTPROXY_H_
