#include "platform/wininet/InternetCookies_linux.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <libpsl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

#include "platform/wininet/InternetShare_linux.h"

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

struct UrlParts {
  std::string scheme, host, path;
};

bool SplitForCookie(const std::string& url, UrlParts& parts) {
  CURLU* handle = curl_url();
  bool ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  char* scheme = nullptr;
  char* host = nullptr;
  char* path = nullptr;
  ok = ok && curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
       curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
       curl_url_get(handle, CURLUPART_PATH, &path, 0) == CURLUE_OK;
  if (ok) {
    parts.scheme = scheme;
    parts.host = host;
    parts.path = path;
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(path);
  curl_url_cleanup(handle);
  return ok && !parts.host.empty();
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsAddress(const std::string& host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The newest list at hand (the system's file or the one built into libpsl), loaded once and
// kept for the life of the process; null when there is none.
const psl_ctx_t* PublicSuffixes() {
  static const std::unique_ptr<psl_ctx_t, decltype(&psl_free)> list(psl_latest(nullptr), psl_free);
  return list ? list.get() : psl_builtin();
}

// Whether a cookie of `host` may name `domain` (both lower case, the domain without its
// leading dot): the host itself or a parent of it that is not a public suffix (RFC 6265
// section 5.3, steps 5 and 6). An address, or a public suffix, naming itself keeps the cookie
// to itself; without a list only that is allowed.
enum class DomainUse { kRefused, kHostOnly, kDomain };
DomainUse CheckDomain(const std::string& host, const std::string& domain) {
  const psl_ctx_t* list = PublicSuffixes();
  if (domain == host) {
    return IsAddress(host) || !list || psl_is_public_suffix(list, host.c_str())
               ? DomainUse::kHostOnly
               : DomainUse::kDomain;
  }
  return list && psl_is_cookie_domain_acceptable(list, host.c_str(), domain.c_str())
             ? DomainUse::kDomain
             : DomainUse::kRefused;
}

}  // namespace

std::string CInternetCookies::ToNetscapeLine(const std::string& url, const std::string& name,
                                             const std::string& data, long long now) {
  UrlParts parts;
  if (!SplitForCookie(url, parts) || Trim(name).empty()) return {};
  if (parts.host.front() == '[') parts.host = parts.host.substr(1, parts.host.size() - 2);
  std::string value = data;
  std::string attributes;
  if (size_t semi = data.find(';'); semi != std::string::npos) {
    value = data.substr(0, semi);
    attributes = data.substr(semi + 1);
  }
  // RFC 6265 default path: the URL's directory.
  size_t slash = parts.path.rfind('/');
  std::string path = (slash == std::string::npos || slash == 0) ? "/" : parts.path.substr(0, slash);
  std::string domain = parts.host;
  bool tailMatch = false;
  bool secure = false;
  long long expires = 0;  // a session cookie
  size_t start = 0;
  while (start <= attributes.size() && !attributes.empty()) {
    size_t end = attributes.find(';', start);
    std::string item =
        Trim(attributes.substr(start, end == std::string::npos ? std::string::npos : end - start));
    size_t equals = item.find('=');
    std::string key = Trim(item.substr(0, equals));
    std::string arg = equals == std::string::npos ? "" : Trim(item.substr(equals + 1));
    if (::strcasecmp(key.c_str(), "path") == 0 && !arg.empty() && arg[0] == '/') path = arg;
    if (::strcasecmp(key.c_str(), "domain") == 0 && !arg.empty()) {
      const std::string named = Lower(arg[0] == '.' ? arg.substr(1) : arg);
      switch (CheckDomain(Lower(parts.host), named)) {
        case DomainUse::kRefused:
          return {};  // another site's cookie, or one for a whole public suffix
        case DomainUse::kHostOnly:
          break;
        case DomainUse::kDomain:
          domain = "." + named;
          tailMatch = true;
          break;
      }
    }
    if (::strcasecmp(key.c_str(), "secure") == 0) secure = true;
    if (::strcasecmp(key.c_str(), "expires") == 0) {
      time_t when = curl_getdate(arg.c_str(), nullptr);
      if (when > 0) expires = when;
    }
    if (::strcasecmp(key.c_str(), "max-age") == 0) expires = now + std::atoll(arg.c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // An already expired cookie (a deletion) is written with expiry 1, which libcurl drops.
  if (expires < 0) expires = 1;
  return domain + "\t" + (tailMatch ? "TRUE" : "FALSE") + "\t" + path + "\t" +
         (secure ? "TRUE" : "FALSE") + "\t" + std::to_string(expires) + "\t" + Trim(name) + "\t" +
         Trim(value);
}

bool CInternetCookies::Set(const std::string& url, const std::string& name,
                           const std::string& data) {
  std::string line = ToNetscapeLine(url, name, data, static_cast<long long>(std::time(nullptr)));
  if (line.empty()) return false;
  // Without the share the cookie would go to a store that nobody reads.
  CURLSH* share = CInternetShare::Get().Handle();
  if (!share) return false;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy || curl_easy_setopt(easy.get(), CURLOPT_SHARE, share) != CURLE_OK) return false;
  return curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK;
}
