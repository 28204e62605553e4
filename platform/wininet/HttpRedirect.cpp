#include "platform/wininet/HttpRedirect.h"

#include <curl/curl.h>

#include <memory>

#include "platform/wininet/WinInet.h"

namespace {

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

DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next) {
  constexpr unsigned kAnyScheme = CURLU_NON_SUPPORT_SCHEME;
  UrlHandle base(curl_url());
  if (!base || curl_url_set(base.get(), CURLUPART_URL, current.url.c_str(), kAnyScheme)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  // Taken out of the base first: a relative Location must not inherit them.
  const HttpUrlParts from = PartsOf(base.get());
  UrlHandle target(curl_url_dup(base.get()));
  const std::string text(location);
  if (!target ||
      curl_url_set(target.get(), CURLUPART_URL, text.c_str(), kAnyScheme | CURLU_ALLOW_SPACE)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  return FollowRedirectRule(current, status, from, PartsOf(target.get()), allowHttpsToHttp, next);
}
