// What a followed redirect carries. NextHop is the one place that decides it; every path
// that follows a redirect (the WinINet stand-in's own following, the HTTP task's following
// of reported redirects) calls it. Pure functions, safe on any thread. Each platform reads
// URLs with its own parser (HttpRedirect_linux.cpp, HttpRedirect_win.cpp); the rule is one
// (HttpRedirectRule.cpp).
#ifndef ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_
#define ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/WinTypes.h"
#include "platform/wininet/HeaderText.h"

// One request of a redirect chain.
struct HttpHop {
  std::string url;  // absolute; credentials in it count as the hop's when `user` is empty
  std::string verb = "GET";
  bool hasBody = false;
  std::string user, password;            // server credentials
  std::vector<std::string> headerLines;  // the caller's own, "Name: value"
};

// The request that a redirect answer (`status`, `location`, relative or absolute) to
// `current` leads to, written to `next`. Only http and https are followed, and https to
// http only when `allowHttpsToHttp`. Within the origin (scheme, host and port) credentials
// and header lines stay; to another origin the caller's credentials, Authorization,
// Proxy-Authorization and Cookie lines are left behind, and only credentials written into
// the Location itself go. `next.url` never holds credentials. 303 (301 and 302 after a
// POST) turns the request into a GET without body.
// Answers 0, or the error that ends the transfer instead: ERROR_INTERNET_INVALID_URL,
// ERROR_INTERNET_UNRECOGNIZED_SCHEME or ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR.
DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next);

// `location` read against `base` (an absolute URL) as RFC 3986 section 5 reads a reference:
// an absolute Location stands as it is, a relative one ("/new", "new", "?q", "//host/x")
// takes what it lacks from `base`. The base's credentials are never inherited; those written
// into the Location itself stay. Any scheme resolves, so that the rule can refuse it. Empty
// when either cannot be read as a URL.
std::string ResolveLocation(const std::string& base, std::string_view location);

// One end of a hop as the rule sees it, whichever URL parser read it.
struct HttpUrlParts {
  std::string scheme, host, port;  // the port is the scheme's own when the URL names none
  std::string user, password;      // decoded; empty when absent
  std::string url;                 // absolute, without credentials
};

// NextHop's rule once both ends are read: `from` is the current request's URL, `to` the
// Location read against it (without the current URL's credentials).
DWORD FollowRedirectRule(const HttpHop& current, int status, const HttpUrlParts& from,
                         HttpUrlParts to, bool allowHttpsToHttp, HttpHop& next);

#endif  // ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_
