#include "http/ProxySession.h"

#include <cwchar>
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
      wchar_t named[512] = {};
      const wchar_t* prefix = proxy.type == 2 ? L"SOCKS=" : L"";
      std::swprintf(named, 511, L"%ls%ls:%d", prefix, proxy.host.c_str(), proxy.port);
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PROXY, named, nullptr, flags);
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
