#include "http/ProxySession.h"

#include <string>

namespace {

constexpr wchar_t kUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";

}  // namespace

HINTERNET OpenProxySession(const tagHProxyInfo& proxy, DWORD flags) {
  switch (proxy.type) {
    case 0:
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, flags);
    case 3:
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, flags);
    default: {
      // Built whole: a name cut to a fixed buffer would lose its port and name another host.
      const std::wstring named = std::wstring(proxy.type == 2 ? L"SOCKS=" : L"") + proxy.host +
                                 L":" + std::to_wstring(proxy.port);
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PROXY, named.c_str(), nullptr, flags);
    }
  }
}

bool SetProxyCredentials(HINTERNET handle, const tagHProxyInfo& proxy) {
  if (!proxy.needAuth) return true;
  std::wstring user = proxy.user;
  std::wstring password = proxy.password;
  return InternetSetOptionW(handle, INTERNET_OPTION_PROXY_USERNAME, user.data(),
                            static_cast<DWORD>(user.size())) &&
         InternetSetOptionW(handle, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                            static_cast<DWORD>(password.size()));
}
