// A URL cut into fixed-size components by SplitUrl. Lengths are in wchar_t units; each buffer
// has room for its limit and a terminating zero.
#ifndef ZVNET_FRAME_URLCOMPONENTS_H_
#define ZVNET_FRAME_URLCOMPONENTS_H_

#include <cstdint>

enum UrlScheme : int32_t {
  URL_SCHEME_UNKNOWN = -1,
  URL_SCHEME_FTP = 0,
  URL_SCHEME_GOPHER = 1,
  URL_SCHEME_HTTP = 2,
  URL_SCHEME_HTTPS = 3,
  URL_SCHEME_FILE = 4,
  URL_SCHEME_NEWS = 5,
  URL_SCHEME_MAILTO = 6,
  URL_SCHEME_SOCKS = 7,
};

inline constexpr int kMaxSchemeName = 32;
inline constexpr int kMaxHostName = 256;
inline constexpr int kMaxUserName = 128;
inline constexpr int kMaxPassword = 128;
inline constexpr int kMaxUrlPath = 2048;
inline constexpr int kMaxExtraInfo = 2048;

struct UrlComponents {
  wchar_t schemeName[kMaxSchemeName + 1];
  wchar_t hostName[kMaxHostName + 1];
  wchar_t userName[kMaxUserName + 1];
  wchar_t password[kMaxPassword + 1];
  wchar_t urlPath[kMaxUrlPath + 1];
  wchar_t extraInfo[kMaxExtraInfo + 1];  // from the first "?" or "#" after the path, included
  uint32_t port;
  UrlScheme scheme;
  uint32_t schemeNameLength;
  uint32_t hostNameLength;
  uint32_t userNameLength;
  uint32_t passwordLength;
  uint32_t urlPathLength;
  uint32_t extraInfoLength;
};

#endif  // ZVNET_FRAME_URLCOMPONENTS_H_
