#include "platform/wininet/InternetSession_linux.h"

#include <strings.h>

#include <sstream>

#include "platform/win32/StringConv.h"

CInternetSession::CInternetSession(std::string agent, Proxy proxy, bool async)
    : CInternetHandle(INTERNET_HANDLE_TYPE_INTERNET, nullptr, 0),
      agent(std::move(agent)),
      proxy(std::move(proxy)),
      async(async) {}

void CInternetSession::SetProxyCredential(DWORD option, std::wstring value) {
  std::lock_guard guard(credentialsLock);
  (option == INTERNET_OPTION_PROXY_USERNAME ? proxyUser : proxyPassword) = std::move(value);
}

std::wstring CInternetSession::ProxyCredential(DWORD option) const {
  std::lock_guard guard(credentialsLock);
  return option == INTERNET_OPTION_PROXY_USERNAME ? proxyUser : proxyPassword;
}

CInternetSession::Proxy CInternetSession::ParseProxy(DWORD accessType, const std::wstring& list,
                                                     const std::wstring& bypass) {
  Proxy proxy;
  if (accessType == INTERNET_OPEN_TYPE_PRECONFIG) {
    proxy.mode = Proxy::Mode::kSystem;
    return proxy;
  }
  if (accessType != INTERNET_OPEN_TYPE_PROXY) return proxy;
  proxy.mode = Proxy::Mode::kNamed;
  std::string text = WideToUtf8(list);
  for (char& c : text) {
    if (c == ';') c = ' ';
  }
  std::istringstream entries(text);
  std::string generic, http;
  for (std::string entry; entries >> entry;) {
    size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      generic = entry;
      continue;
    }
    std::string scheme = entry.substr(0, equals);
    std::string address = entry.substr(equals + 1);
    if (::strcasecmp(scheme.c_str(), "socks") == 0) proxy.socksProxy = address;
    if (::strcasecmp(scheme.c_str(), "http") == 0) http = address;
  }
  proxy.httpProxy = !generic.empty() ? generic : http;
  std::string skip = WideToUtf8(bypass);
  for (char& c : skip) {
    if (c == ';' || c == ' ') c = ',';
  }
  proxy.bypass = skip;
  return proxy;
}
