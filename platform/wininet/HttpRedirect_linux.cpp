#include "platform/wininet/HttpRedirect.h"

#include <curl/curl.h>

#include <memory>

#include "platform/wininet/WinInet.h"

namespace {

constexpr unsigned kAnyScheme = CURLU_NON_SUPPORT_SCHEME;

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// A part of `url`, empty when absent.
std::string Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  std::string result;
  if (curl_url_get(url, part, &text, flags) == CURLUE_OK && text) result = text;
  curl_free(text);
  return result;
}

// The parts of `url`, then its credentials taken out of it.
HttpUrlParts PartsOf(CURLU* url) {
  HttpUrlParts parts{Part(url, CURLUPART_SCHEME),
                     Part(url, CURLUPART_HOST),
                     Part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT),
                     Part(url, CURLUPART_USER, CURLU_URLDECODE),
                     Part(url, CURLUPART_PASSWORD, CURLU_URLDECODE),
                     {}};
  curl_url_set(url, CURLUPART_USER, nullptr, 0);
  curl_url_set(url, CURLUPART_PASSWORD, nullptr, 0);
  parts.url = Part(url, CURLUPART_URL);
  return parts;
}

}  // namespace

std::string ResolveLocation(const std::string& base, std::string_view location) {
  UrlHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), kAnyScheme)) return {};
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  const std::string text(location);
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), kAnyScheme | CURLU_ALLOW_SPACE)) {
    return {};
  }
  return Part(url.get(), CURLUPART_URL);
}

DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next) {
  UrlHandle base(curl_url());
  if (!base || curl_url_set(base.get(), CURLUPART_URL, current.url.c_str(), kAnyScheme)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  const HttpUrlParts from = PartsOf(base.get());
  const std::string resolved = ResolveLocation(from.url, location);
  UrlHandle target(curl_url());
  if (resolved.empty() || !target ||
      curl_url_set(target.get(), CURLUPART_URL, resolved.c_str(), kAnyScheme)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  return FollowRedirectRule(current, status, from, PartsOf(target.get()), allowHttpsToHttp, next);
}
