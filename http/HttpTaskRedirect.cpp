// CHttpTask: a redirect answer the stand-in left to the task (uploads, requests that do not
// follow redirects themselves): where the next attempt goes and what it carries.
#include <cstring>
#include <cwchar>

#include "frame/SplitUrl.h"
#include "http/HttpTask.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/StringConv.h"
#include "platform/wininet/HttpRedirect.h"

namespace {

// `wide` in UTF-8 with every byte but the unreserved ones escaped (for credentials in a URL),
// or, with `unsafeOnly`, only the bytes a URL cannot carry (blanks, controls, above 0x7E).
std::string Escape(const std::wstring& wide, bool unsafeOnly) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : WideToUtf8(wide)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool plain =
        unsafeOnly ? c > 0x20 && c < 0x7F : alnum || c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The URL that the parts of `url` name under `scheme`, with the credentials in it when
// `withCredentials`: the address the task connects to, as the redirect rule reads it. The
// scheme's own port is left out, as a redirect message shows the address.
std::string JoinUrl(const std::wstring& scheme, const UrlComponents& url, bool withCredentials) {
  std::string text = WideToUtf8(scheme) + "://";
  if (withCredentials && (url.userNameLength || url.passwordLength)) {
    text += Escape(url.userName, false) + ":" + Escape(url.password, false) + "@";
  }
  const std::string host = WideToUtf8(url.hostName);
  const bool bracket = host.find(':') != std::string::npos && host.front() != '[';
  text += bracket ? "[" + host + "]" : host;
  const bool ownPort = (url.scheme == URL_SCHEME_HTTP && url.port == 80) ||
                       (url.scheme == URL_SCHEME_HTTPS && url.port == 443);
  if (!ownPort) text += ":" + std::to_string(url.port);
  const std::string rest = Escape(std::wstring(url.urlPath) + url.extraInfo, true);
  return text + (rest.empty() || rest.front() != '/' ? "/" : "") + rest;
}

// Writes `text` into a fixed part of a split URL; false when it does not fit.
bool SetUrlPart(wchar_t* buffer, uint32_t& length, size_t limit, const std::string& text) {
  const std::wstring wide = Utf8ToWide(text);
  if (wide.size() > limit) return false;
  std::wcscpy(buffer, wide.c_str());
  length = static_cast<uint32_t>(wide.size());
  return true;
}

}  // namespace

CHttpTask::Step CHttpTask::OnRedirect() {
  std::wstring location;
  if (!QueryHeaderText(HTTP_QUERY_LOCATION, &location)) return StepFailed;
  // A chain too long, a Location that does not resolve, one neither http nor https, or one
  // the redirect rule refuses (https to http) is not followed.
  m_nFailure = ZV_FAILURE_REDIRECT_UNSUPPORTED;
  if (++m_nRedirects > kMaxRedirects) return StepFailed;
  HttpHop current;
  current.url = JoinUrl(m_bSecure ? L"https" : L"http", m_url, false);
  current.user = WideToUtf8(m_url.userName);
  current.password = WideToUtf8(m_url.password);
  current.headerLines = HeaderLines(WideToUtf8(m_strHeaders));
  // A relative Location is read against the current address; bytes a URL cannot carry are
  // escaped first, as browsers do.
  const std::string resolved = ResolveLocation(current.url, Escape(location, true));
  ClearUrlComponents(&m_url);
  if (resolved.empty() || !SplitUrl(&m_url, Utf8ToWide(resolved).c_str())) return StepFailed;
  // The redirect rule reads the address the next attempt connects to, and says which
  // credentials and header lines go there.
  HttpHop next;
  if (NextHop(current, m_nHttpStatus, JoinUrl(m_url.schemeName, m_url, true), false, next) != 0 ||
      !SetUrlPart(m_url.userName, m_url.userNameLength, kMaxUserName, next.user) ||
      !SetUrlPart(m_url.password, m_url.passwordLength, kMaxPassword, next.password)) {
    return StepFailed;
  }
  m_strHeaders.clear();
  for (const std::string& line : next.headerLines) m_strHeaders += Utf8ToWide(line) + L"\r\n";
  if (m_url.scheme == URL_SCHEME_HTTP) {
    m_bSecure = 0;
  } else if (m_url.scheme == URL_SCHEME_HTTPS) {
    m_bSecure = 1;
  } else {
    return StepFailed;
  }
  m_strUrl = Utf8ToWide(JoinUrl(m_url.schemeName, m_url, false));  // what the message reports
  m_nFailure = ZV_FAILURE_NONE;
  if (!m_bQuietRedirect) NotifyRedirect();
  return StepRedirected;
}
