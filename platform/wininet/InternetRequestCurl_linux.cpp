#include "platform/wininet/InternetRequest_linux.h"

#include <strings.h>

#include <cstdlib>

#include "platform/wininet/InternetEasyOptions_linux.h"
#include "platform/wininet/InternetShare_linux.h"
#include "platform/wininet/InternetTls_linux.h"

namespace {

bool EnvironmentNamesProxy(const std::string& url) {
  const bool secure = url.size() >= 6 && strncasecmp(url.c_str(), "https:", 6) == 0;
  for (const char* name : {secure ? "https_proxy" : "http_proxy", secure ? "HTTPS_PROXY" : "",
                           "all_proxy", "ALL_PROXY"}) {
    const char* value = *name ? std::getenv(name) : nullptr;
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

DWORD CInternetRequest::Configure() {
  easy = curl_easy_init();
  if (!easy) return ERROR_INTERNET_INTERNAL_ERROR;
  if (!BuildHeaderList()) return ERROR_NOT_ENOUGH_MEMORY;
  const CInternetSession& session = *Session();
  // Tuning only: without them the transfer still runs as asked, so a failure is ignored.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kCurlBufferSize));
  CURLcode result = ConfigureBasics(session);
  if (result == CURLE_OK) result = ConfigureVerb();
  if (result == CURLE_OK) result = ConfigureProxy(session);
  if (result == CURLE_OK) result = ConfigureTls();
  if (result == CURLE_OK) result = ConfigureCallbacks();
  if (result == CURLE_OK) return 0;
  // A handle that would run with other settings than the request's is not run at all.
  return result == CURLE_OUT_OF_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNET_INTERNAL_ERROR;
}

bool CInternetRequest::BuildHeaderList() {
  const std::vector<std::string>& own = hop.headerLines;
  auto append = [this](const char* line) {
    curl_slist* longer = curl_slist_append(headerList, line);
    if (!longer) return false;  // out of memory; the list so far goes with the handle
    headerList = longer;
    return true;
  };
  // Among the header lines, not through CURLOPT_REFERER: libcurl writes that one before the
  // cookies, and a request whose text before the cookies passes 8 KiB gets a "Cookie: "
  // without its line end, which swallows the next header line.
  if (!setup.referrer.empty() && !HasHeader(own, "Referer") &&
      !append(("Referer: " + setup.referrer).c_str())) {
    return false;
  }
  for (const std::string& line : own) {
    if (!append(line.c_str())) return false;
  }
  if ((setup.flags & INTERNET_FLAG_PRAGMA_NOCACHE) && !HasHeader(own, "Pragma") &&
      !append("Pragma: no-cache")) {
    return false;
  }
  if (!setup.accept.empty() && !HasHeader(own, "Accept") &&
      !append(("Accept: " + setup.accept).c_str())) {
    return false;
  }
  // WinINet sends neither of these unless asked to. libcurl writes them only with a body, so
  // a GET or HEAD without one skips the lines (each costs libcurl a scan per request).
  const bool bodiless =
      !(upload && hop.hasBody) && (hop.verb == "HEAD" || (hop.verb == "GET" && body.empty()));
  if (bodiless) return true;
  if (!HasHeader(own, "Content-Type") && !append("Content-Type:")) return false;
  return append("Expect:");
}

CURLcode CInternetRequest::ConfigureBasics(const CInternetSession& session) {
  const long version = setup.version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1;
  CInternetEasyOptions options(easy);
  options.Set(CURLOPT_PRIVATE, this)
      .Set(CURLOPT_URL, hop.url.c_str())
      // Redirects are followed here, hop by hop (FollowRedirect), never by libcurl; neither
      // the request nor a hop may speak anything but http and https. Each hop gets its own
      // handle with this list, so libcurl's list for the redirects it follows itself is
      // never consulted and is left unset (parsing it costs as much as this one).
      .Set(CURLOPT_PROTOCOLS_STR, "http,https")
      .Set(CURLOPT_FOLLOWLOCATION, 0L)
      .Set(CURLOPT_SHARE, CInternetShare::Get().Handle())
      .Set(CURLOPT_COOKIEFILE, "")
      .Set(CURLOPT_NOSIGNAL, 1L)
      .Set(CURLOPT_HTTP_VERSION, version)
      .Set(CURLOPT_USERAGENT, session.Agent().c_str())
      .Set(CURLOPT_HTTPHEADER, headerList)
      .Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs))
      // A proxy's answer to CONNECT would otherwise reach OnHeaderLine as a head.
      .Set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (!hop.user.empty()) {
    options.Set(CURLOPT_USERNAME, hop.user.c_str())
        .Set(CURLOPT_PASSWORD, hop.password.c_str())
        .Set(CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  }
  return options.Result();
}

CURLcode CInternetRequest::ConfigureVerb() {
  CInternetEasyOptions options(easy);
  if (upload && hop.hasBody) {
    options.Set(CURLOPT_POST, 1L)
        .Set(CURLOPT_READFUNCTION, &CInternetRequest::ReadThunk)
        .Set(CURLOPT_READDATA, this)
        .Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(uploadTotal));
  } else if (hop.verb == "HEAD") {
    options.Set(CURLOPT_NOBODY, 1L);
  } else if (hop.verb == "GET" && body.empty()) {
    options.Set(CURLOPT_HTTPGET, 1L);
  } else {
    options.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()))
        .Set(CURLOPT_POSTFIELDS, body.data());
  }
  if (hop.verb != "GET" && hop.verb != "HEAD" && hop.verb != "POST") {
    options.Set(CURLOPT_CUSTOMREQUEST, hop.verb.c_str());
  } else if (hop.verb == "GET" && !body.empty()) {
    options.Set(CURLOPT_CUSTOMREQUEST, "GET");
  }
  return options.Result();
}

CURLcode CInternetRequest::ConfigureProxy(const CInternetSession& session) {
  const CInternetSession::Proxy& proxy = session.ProxySettings();
  std::string user, password;
  {
    std::lock_guard guard(mutex);
    user = proxyUser;
    password = proxyPassword;
  }
  CInternetEasyOptions options(easy);
  viaProxy = false;
  switch (proxy.mode) {
    case CInternetSession::Proxy::Mode::kDirect:
      // An empty proxy also keeps libcurl from reading the proxy environment variables.
      return options.Set(CURLOPT_PROXY, "").Result();
    case CInternetSession::Proxy::Mode::kSystem: {
      if (systemProxy.kind != CSystemProxyResolver::Answer::Kind::kProxies) {
        // libcurl reads http_proxy, https_proxy, all_proxy and no_proxy itself; no_proxy is
        // not weighed here, which only words a failure as the proxy's.
        viaProxy = EnvironmentNamesProxy(hop.url);
        break;
      }
      // An empty proxy is a direct connection. The answer has weighed the desktop's bypass
      // list already: an empty one here keeps no_proxy from overruling it.
      const std::string& url = systemProxy.proxies[proxyChoice];
      viaProxy = !url.empty();
      options.Set(CURLOPT_PROXY, url.c_str()).Set(CURLOPT_NOPROXY, "");
      break;
    }
    case CInternetSession::Proxy::Mode::kNamed: {
      viaProxy = !proxy.socksProxy.empty() || !proxy.httpProxy.empty();
      const std::string url = !proxy.socksProxy.empty()  ? "socks5://" + proxy.socksProxy
                              : !proxy.httpProxy.empty() ? "http://" + proxy.httpProxy
                                                         : std::string();
      options.Set(CURLOPT_PROXY, url.c_str());
      if (!proxy.bypass.empty()) options.Set(CURLOPT_NOPROXY, proxy.bypass.c_str());
      break;
    }
  }
  if (!user.empty() || !password.empty()) {
    options.Set(CURLOPT_PROXYUSERNAME, user.c_str())
        .Set(CURLOPT_PROXYPASSWORD, password.c_str())
        .Set(CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
  }
  return options.Result();
}

CURLcode CInternetRequest::ConfigureTls() {
  DWORD security;
  {
    std::lock_guard guard(mutex);
    security = securityFlags;
  }
  const bool ignoreCn = (setup.flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) ||
                        (security & SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  return CInternetEasyOptions(easy)
      .Set(CURLOPT_SSL_VERIFYPEER, (security & SECURITY_FLAG_IGNORE_UNKNOWN_CA) ? 0L : 1L)
      .Set(CURLOPT_SSL_VERIFYHOST, ignoreCn ? 0L : 2L)
      .Set(CURLOPT_SSL_CTX_FUNCTION, &CInternetRequest::SslCtxThunk)
      .Set(CURLOPT_SSL_CTX_DATA, this)
      .Result();
}

CURLcode CInternetRequest::ConfigureCallbacks() {
  return CInternetEasyOptions(easy)
      .Set(CURLOPT_HEADERFUNCTION, &CInternetRequest::HeaderThunk)
      .Set(CURLOPT_HEADERDATA, this)
      .Set(CURLOPT_WRITEFUNCTION, &CInternetRequest::BodyThunk)
      .Set(CURLOPT_WRITEDATA, this)
      .Set(CURLOPT_RESOLVER_START_FUNCTION, &CInternetRequest::ResolverStartThunk)
      .Set(CURLOPT_RESOLVER_START_DATA, this)
      .Set(CURLOPT_OPENSOCKETFUNCTION, &CInternetRequest::OpenSocketThunk)
      .Set(CURLOPT_OPENSOCKETDATA, this)
      .Set(CURLOPT_PREREQFUNCTION, &CInternetRequest::PrereqThunk)
      .Set(CURLOPT_PREREQDATA, this)
      .Result();
}

CURLcode CInternetRequest::SslCtxThunk(CURL*, void* sslContext, void* self) {
  auto* request = static_cast<CInternetRequest*>(self);
  DWORD security;
  {
    std::lock_guard guard(request->mutex);
    security = request->securityFlags;
  }
  const bool ignoreDates = (request->setup.flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID) ||
                           (security & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID);
  CInternetTls::Get().Prepare(static_cast<SSL_CTX*>(sslContext), ignoreDates);
  return CURLE_OK;
}
