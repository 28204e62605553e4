#include "cli/HttpOptions.h"

#include <climits>
#include <cstdlib>

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
  if (options.noAutoRedirect) par->flags |= HTTPPAR_NO_AUTO_REDIRECT;
  if (options.stopOnRedirect) par->flags |= HTTPPAR_STOP_ON_REDIRECT;
  return true;
}

bool BuildProxy(const HttpOptions& options, tagHProxyInfo* proxy, std::string* error) {
  if (options.proxy.empty()) return true;
  const size_t sep = options.proxy.find("://");
  const std::string scheme = sep == std::string::npos ? "" : options.proxy.substr(0, sep);
  const std::string rest = sep == std::string::npos ? "" : options.proxy.substr(sep + 3);
  if (scheme == "system") {
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
