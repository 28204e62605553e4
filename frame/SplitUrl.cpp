#include "frame/SplitUrl.h"

#include <cwchar>
#include <cwctype>
#include <string_view>

#include "frame/FailureException.h"
#include "platform/win32/WinTypes.h"

namespace {

struct SchemeInfo {
  std::wstring_view name;
  UrlScheme scheme;
  uint32_t defaultPort;
};

constexpr SchemeInfo kSchemes[] = {
    {L"ftp", URL_SCHEME_FTP, 21},      {L"gopher", URL_SCHEME_GOPHER, 70},
    {L"http", URL_SCHEME_HTTP, 80},    {L"https", URL_SCHEME_HTTPS, 443},
    {L"file", URL_SCHEME_FILE, 0},     {L"news", URL_SCHEME_NEWS, 0},
    {L"mailto", URL_SCHEME_MAILTO, 0}, {L"socks", URL_SCHEME_SOCKS, 1080},
};

// Longest text one component may collect (the work buffer holds 2090 characters).
constexpr size_t kMaxComponent = 2089;

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    // Equal characters need no case folding (most schemes are written in lower case).
    if (a[i] != b[i] && std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

// Copies `text` into a component buffer with room for `limit` characters.
bool Store(std::wstring_view text, size_t limit, wchar_t* buffer, uint32_t* length) {
  if (text.size() > limit) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  *length = static_cast<uint32_t>(text.size());
  return true;
}

uint32_t ParsePort(std::wstring_view text) {
  uint32_t port = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') break;
    port = port * 10 + static_cast<uint32_t>(c - L'0');
  }
  return port;
}

class CUrlSplitter {
 public:
  CUrlSplitter(UrlComponents* out, std::wstring_view url) : out(out), url(url) {}

  bool Run() {
    if (url.empty()) return false;
    if (!ParseScheme()) return false;
    if (!skipAuthority && !ParseAuthority()) return false;
    if (!ParsePathAndExtra()) return false;
    SetPort();
    return true;
  }

 private:
  bool ParseScheme() {
    size_t colon = url.find(L':');
    if (colon == std::wstring_view::npos || colon > kMaxComponent) return false;  // no scheme
    std::wstring_view name = url.substr(0, colon);
    out->scheme = URL_SCHEME_UNKNOWN;
    for (const SchemeInfo& info : kSchemes) {
      if (EqualsNoCase(name, info.name)) {
        out->scheme = info.scheme;
        defaultPort = info.defaultPort;
        break;
      }
    }
    if (!Store(name, kMaxSchemeName, out->schemeName, &out->schemeNameLength)) return false;
    pos = colon + 1;
    if (url.substr(pos, 2) == L"//") {
      if (out->scheme == URL_SCHEME_MAILTO) return false;
      pos += 2;
    } else if (url.substr(pos, 1) == L"/") {
      skipAuthority = true;
    }
    if (out->scheme == URL_SCHEME_FILE) skipAuthority = true;
    return true;
  }

  static bool EndsAuthority(wchar_t c) { return c == L'/' || c == L'?' || c == L'#'; }

  bool ParseAuthority() {
    size_t start = pos;  // start of the text collected so far
    bool userSeen = false;
    bool hostSet = false;
    bool inBrackets = false;
    while (pos < url.size() && (inBrackets || !EndsAuthority(url[pos]))) {
      wchar_t c = url[pos];
      if (inBrackets) {
        if (c == L']') inBrackets = false;
        ++pos;
      } else if (c == L'[' && pos == start && !hostSet) {
        inBrackets = true;
        ++pos;
      } else if (c == L'@') {
        if (userSeen) return false;
        if (!Store(url.substr(start, pos - start), kMaxUserName, out->userName,
                   &out->userNameLength)) {
          return false;
        }
        userSeen = true;
        start = ++pos;
      } else if (c == L':') {
        std::wstring_view before = url.substr(start, pos - start);
        size_t ahead = pos + 1;
        while (ahead < url.size() && url[ahead] != L'@' && !EndsAuthority(url[ahead])) ++ahead;
        std::wstring_view after = url.substr(pos + 1, ahead - pos - 1);
        if (after.size() > 128) return false;
        const bool atSign = ahead < url.size() && url[ahead] == L'@';
        if (!hostSet && !atSign) {
          if (!Store(before, kMaxHostName, out->hostName, &out->hostNameLength)) return false;
          explicitPort = ParsePort(after);
          hasExplicitPort = true;
          hostSet = true;
          pos = ahead;
          start = pos;
        } else if (atSign && !userSeen) {
          if (!after.empty() && before.empty()) return false;
          if (!Store(before, kMaxUserName, out->userName, &out->userNameLength) ||
              !Store(after, kMaxPassword, out->password, &out->passwordLength)) {
            return false;
          }
          userSeen = true;
          pos = ahead + 1;
          start = pos;
        } else {
          return false;
        }
      } else {
        ++pos;
      }
    }
    if (inBrackets) return false;
    if (!hostSet) {
      std::wstring_view host = url.substr(start, pos - start);
      if (host.size() > kMaxComponent) return false;
      if (!Store(host, kMaxHostName, out->hostName, &out->hostNameLength)) return false;
    }
    return true;
  }

  bool ParsePathAndExtra() {
    std::wstring_view rest = url.substr(pos);
    size_t end = out->scheme == URL_SCHEME_FILE ? rest.size() : rest.find_first_of(L"?#");
    if (end == std::wstring_view::npos) end = rest.size();
    if (!Store(rest.substr(0, end), kMaxUrlPath, out->urlPath, &out->urlPathLength)) return false;
    return Store(rest.substr(end), kMaxExtraInfo, out->extraInfo, &out->extraInfoLength);
  }

  void SetPort() {
    switch (out->scheme) {
      case URL_SCHEME_FILE:
      case URL_SCHEME_NEWS:
      case URL_SCHEME_MAILTO:
        out->port = 0;
        break;
      default:
        out->port = hasExplicitPort ? explicitPort : defaultPort;
    }
  }

  UrlComponents* out;
  std::wstring_view url;
  size_t pos = 0;
  bool skipAuthority = false;
  uint32_t defaultPort = 0;
  uint32_t explicitPort = 0;
  bool hasExplicitPort = false;
};

}  // namespace

void ClearUrlComponents(UrlComponents* components) {
  // Empty strings rather than zeroed buffers: readers stop at the terminator, and zeroing the
  // record's 18 KiB on every request cost more than splitting the URL.
  components->schemeName[0] = L'\0';
  components->hostName[0] = L'\0';
  components->userName[0] = L'\0';
  components->password[0] = L'\0';
  components->urlPath[0] = L'\0';
  components->extraInfo[0] = L'\0';
  components->port = 0;
  components->scheme = URL_SCHEME_UNKNOWN;
  components->schemeNameLength = 0;
  components->hostNameLength = 0;
  components->userNameLength = 0;
  components->passwordLength = 0;
  components->urlPathLength = 0;
  components->extraInfoLength = 0;
}

bool SplitUrl(UrlComponents* components, const wchar_t* url) {
  if (!url) throw CFailureException(E_FAIL);
  ClearUrlComponents(components);
  if (!CUrlSplitter(components, url).Run()) {
    ClearUrlComponents(components);
    return false;
  }
  return true;
}

std::wstring UrlWithoutUserInfo(std::wstring_view url) {
  // The authority starts where SplitUrl starts it: after "scheme:" and a "//", or right after
  // the colon when neither "//" nor "/" follows.
  const size_t colon = url.find(L':');
  if (colon == std::wstring_view::npos) return std::wstring(url);
  size_t start = colon + 1;
  if (url.substr(start, 2) == L"//") {
    start += 2;
  } else if (url.substr(start, 1) == L"/") {
    return std::wstring(url);
  }
  // Brackets may hold what would end the authority; an unclosed one runs to the end.
  size_t at = std::wstring_view::npos;
  bool inBrackets = false;
  for (size_t pos = start; pos < url.size(); ++pos) {
    const wchar_t c = url[pos];
    if (inBrackets) {
      inBrackets = c != L']';
    } else if (c == L'[') {
      inBrackets = true;
    } else if (c == L'/' || c == L'?' || c == L'#') {
      break;
    }
    if (c == L'@') at = pos;
  }
  if (at == std::wstring_view::npos) return std::wstring(url);
  return std::wstring(url.substr(0, start)) + std::wstring(url.substr(at + 1));
}
