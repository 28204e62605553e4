// The process-wide cookie store of the stand-in: libcurl's cookie engine in the process-wide
// share handle, so that cookies set here and cookies that servers set are sent by every later
// matching request, from any session. Any thread may call it (the share handle is locked).
#ifndef ZVNET_PLATFORM_WININET_INTERNETCOOKIES_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETCOOKIES_LINUX_H_

#include <string>

class CInternetCookies {
 public:
  // Stores `name`=`data` for `url`. `data` is the value, optionally followed by attributes
  // ("; path=/p; domain=.example.org; expires=<HTTP date>; max-age=N; secure"). Without a
  // domain the cookie belongs to the URL's host only; without a path, to the URL's directory.
  // A domain must be the URL's host or a parent of it that is not a public suffix (RFC 6265
  // section 5.3), as WinINet requires. False for a URL without a host, a cookie without a
  // name, or a domain that the URL may not name.
  static bool Set(const std::string& url, const std::string& name, const std::string& data);

  // The Netscape cookie-file line libcurl takes for such a cookie (empty when refused).
  static std::string ToNetscapeLine(const std::string& url, const std::string& name,
                                    const std::string& data, long long now);
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETCOOKIES_LINUX_H_
