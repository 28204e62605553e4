// A stand-in WinINet session: user agent, proxy settings, synchronous or asynchronous mode
// and the time-outs and proxy credentials that its requests take. Immutable after
// InternetOpen except the time-outs, which are atomic, and the proxy credentials, which
// `credentialsLock` guards (any thread may set them).
#ifndef ZVNET_PLATFORM_WININET_INTERNETSESSION_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETSESSION_LINUX_H_

#include <atomic>
#include <mutex>
#include <string>

#include "platform/wininet/InternetHandle_linux.h"

class CInternetSession : public CInternetHandle {
 public:
  // How requests of the session reach their servers. kSystem: as the system's settings say
  // for each request's URL (CSystemProxyResolver).
  struct Proxy {
    enum class Mode { kDirect, kSystem, kNamed } mode = Mode::kDirect;
    std::string httpProxy;   // kNamed: "host:port" of an HTTP proxy, or empty
    std::string socksProxy;  // kNamed: "host:port" of a SOCKS5 proxy, or empty
    std::string bypass;      // hosts that go direct, comma-separated
  };

  CInternetSession(std::string agent, Proxy proxy, bool async);

  CInternetSession* Session() override { return this; }
  const std::string& Agent() const { return agent; }
  const Proxy& ProxySettings() const { return proxy; }
  bool IsAsync() const { return async; }

  std::atomic<DWORD> connectTimeoutMs{60000};
  std::atomic<DWORD> receiveTimeoutMs{60000};

  // INTERNET_OPTION_PROXY_USERNAME or _PASSWORD for the requests opened afterwards.
  void SetProxyCredential(DWORD option, std::wstring value);
  std::wstring ProxyCredential(DWORD option) const;

  // Reads an InternetOpen access type, proxy list and bypass list. The list holds entries
  // separated by blanks or ";": "host:port", "http=host:port", "https=host:port" or
  // "SOCKS=host:port"; a SOCKS entry wins over the others.
  static Proxy ParseProxy(DWORD accessType, const std::wstring& list, const std::wstring& bypass);

 private:
  const std::string agent;
  const Proxy proxy;
  const bool async;
  mutable std::mutex credentialsLock;
  std::wstring proxyUser, proxyPassword;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETSESSION_LINUX_H_
