#include "cli/HttpOptions.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "cli/ExitCodes.h"
#include "cli/Text.h"

bool BuildRequest(const HttpOptions& options, const std::string& url, tagDefHttpPar* par,
                  std::string* error) {
  par->url = Widen(url);
  for (const std::string& header : options.headers) {
    if (header.find(':') == std::string::npos) {
      *error = "header \"" + header + "\" has no colon";
      return false;
    }
    par->headers += Widen(header) + L"\r\n";
  }
  for (const std::string& cookie : options.cookies) {
    const size_t eq = cookie.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "cookie \"" + cookie + "\" is not NAME=VALUE";
      return false;
    }
    par->cookies[Widen(cookie.substr(0, eq))] = Widen(cookie.substr(eq + 1));
  }
  par->referrer = Widen(options.referrer);
  // Stopping needs the redirect reported, which only a reported redirect is.
  if (options.noAutoRedirect || options.stopOnRedirect) par->flags |= HTTPPAR_NO_AUTO_REDIRECT;
  if (options.stopOnRedirect) par->flags |= HTTPPAR_STOP_ON_REDIRECT;
  return true;
}

bool BuildProxy(const HttpOptions& options, tagHProxyInfo* proxy, std::string* error) {
  if (options.proxy.empty()) return true;
  const size_t sep = options.proxy.find("://");
  const std::string scheme = sep == std::string::npos ? "" : options.proxy.substr(0, sep);
  const std::string rest = sep == std::string::npos ? "" : options.proxy.substr(sep + 3);
  if (scheme == "system" || options.proxy == "system") {
    proxy->type = 3;
  } else if (scheme == "http" || scheme == "socks5") {
    const size_t colon = rest.rfind(':');
    int port = 0;
    if (colon != std::string::npos) port = std::atoi(rest.c_str() + colon + 1);
    if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535) {
      *error = "proxy \"" + options.proxy + "\" is not " + scheme + "://HOST:PORT";
      return false;
    }
    proxy->type = scheme == "http" ? 1 : 2;
    proxy->host = Widen(rest.substr(0, colon));
    proxy->port = port;
  } else {
    *error = "proxy \"" + options.proxy + "\" must start with http://, socks5:// or system://";
    return false;
  }
  if (!options.proxyUser.empty()) {
    const size_t colon = options.proxyUser.find(':');
    if (colon == std::string::npos) {
      *error = "--proxy-user must be USER:PASSWORD";
      return false;
    }
    proxy->needAuth = 1;
    proxy->user = Widen(options.proxyUser.substr(0, colon));
    proxy->password = Widen(options.proxyUser.substr(colon + 1));
  }
  return true;
}

unsigned int TimeoutMs(const HttpOptions& options) {
  if (options.timeoutSeconds <= 0) return UINT_MAX;
  const double ms = options.timeoutSeconds * 1000;
  return ms >= UINT_MAX ? UINT_MAX : static_cast<unsigned int>(ms);
}

int StartHttp(const HttpOptions& options) {
  tagHProxyInfo proxy;
  std::string error;
  if (!BuildProxy(options, &proxy, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  ZvHttp::Init();
  if (ZvHttp::SetProxy(&proxy) != 0) {
    PrintError("the HTTP service could not be started");
    ZvHttp::Uninit();
    return kExitFailure;
  }
  return kExitOk;
}

int ExitStatusFor(DOWNLOAD_ERRORCODE code, int httpStatus) {
  switch (code) {
    case DOWNLOAD_OK:
      return httpStatus == 404 ? kExitNotFound : kExitOk;
    case DOWNLOAD_NOT_MODIFIED:
      return kExitNotModified;
    case DOWNLOAD_NOT_FOUND:
      return kExitNotFound;
    case DOWNLOAD_TIMEOUT:
      return kExitTimeout;
    default:
      return kExitFailure;
  }
}

std::string DescribeCode(DOWNLOAD_ERRORCODE code) {
  switch (code) {
    case DOWNLOAD_OK:
      return "done";
    case DOWNLOAD_NOT_MODIFIED:
      return "not modified";
    case DOWNLOAD_FAILED:
      return "failed";
    case DOWNLOAD_LENGTH_MISMATCH:
      return "body length differs from the announced length";
    case DOWNLOAD_WRITE_FAILED:
      return "the file could not be written";
    case DOWNLOAD_AUTH_REQUIRED:
      return "authentication required";
    case DOWNLOAD_NOT_FOUND:
      return "not found";
    case DOWNLOAD_SERVER_ERROR:
      return "server error";
    case DOWNLOAD_UPLOAD_STOPPED:
      return "upload stopped";
    case DOWNLOAD_TIMEOUT:
      return "timed out";
    case DOWNLOAD_REDIRECT_REFUSED:
      return "redirect refused";
    default:
      return "code " + std::to_string(static_cast<int>(code));
  }
}

namespace {

// "HOST port PORT" of a URL's authority, the port defaulted by the scheme.
std::string ServerOf(const std::string& url) {
  const size_t sep = url.find("://");
  const size_t start = sep == std::string::npos ? 0 : sep + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  authority = authority.substr(authority.rfind('@') + 1);  // npos + 1 == 0: no user part
  std::string host = authority;
  std::string port = url.compare(0, 6, "https:") == 0 ? "443" : "80";
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  return host + " port " + port;
}

}  // namespace

std::string DescribeFailure(DOWNLOAD_ERRORCODE code, ZV_FAILURE_CAUSE cause, int systemError,
                            const std::string& url, const std::string& path) {
  switch (cause) {
    case ZV_FAILURE_CONNECTION_REFUSED:
      return "cannot connect to " + ServerOf(url) + ": connection refused";
    case ZV_FAILURE_TIMED_OUT:
      return "no answer from " + ServerOf(url) + ": timed out";
    case ZV_FAILURE_HOST_NOT_FOUND:
      return "host not found";
    case ZV_FAILURE_TLS_UNTRUSTED:
      return "TLS certificate not trusted";
    case ZV_FAILURE_TLS_WRONG_HOST:
      return "TLS certificate does not match the host name";
    case ZV_FAILURE_TLS_OTHER:
      return "TLS handshake failed";
    case ZV_FAILURE_DESTINATION_UNWRITABLE:
      return "cannot write " + (path.empty() ? std::string("the file") : path) +
             (systemError ? std::string(": ") + std::strerror(systemError) : "");
    case ZV_FAILURE_BAD_URL:
      return "bad URL";
    case ZV_FAILURE_PROXY_UNREACHABLE:
      return "cannot reach the proxy";
    case ZV_FAILURE_PROXY_REFUSED:
      return "proxy refused the connection";
    case ZV_FAILURE_REDIRECT_UNSUPPORTED:
      return "redirect cannot be followed";
    case ZV_FAILURE_MALFORMED_RESPONSE:
      return "malformed response";
    case ZV_FAILURE_CONNECTION_LOST:
      return "connection lost";
    default:
      return DescribeCode(code);
  }
}
