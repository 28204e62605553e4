// ZvHttp: asynchronous HTTP downloads and uploads run by worker threads.
//
// Call order: Init, optionally SetProxy, CreateWorker, transfers on that worker, CloseWorker,
// Uninit. A transfer's callback runs on the thread that queued it, while that thread runs
// its message loop (zvmsgloop.h). The library owns each tagDataOut handed to a callback and
// frees it, with its data, when the callback returns.
#ifndef ZVNET_ZVHTTP_H_
#define ZVNET_ZVHTTP_H_

#include <cstdint>
#include <map>
#include <string>

#include "zvnet/zvdefs.h"

// Bits of tagDefHttpPar::flags.
inline constexpr uint32_t HTTPPAR_NO_AUTO_REDIRECT = 0x1;  // report redirects and follow them
inline constexpr uint32_t HTTPPAR_STOP_ON_REDIRECT = 0x2;  // report a redirect, then stop (13)

// A request; copied whole into every queued request.
struct tagDefHttpPar {
  std::wstring url;
  uint32_t reserved = 0;
  std::map<std::wstring, std::wstring> cookies;  // set for exactly `url` before the request
  std::wstring referrer;
  std::wstring headers;  // extra request header lines, CRLF separated
  uint32_t flags = 0;
};

// Proxy settings. type 0: direct; 1 (and any unknown value): HTTP proxy host:port;
// 2: SOCKS5 proxy host:port; 3: the system's settings (the proxy environment variables).
struct tagHProxyInfo {
  int32_t type = 0;
  std::wstring host;
  int32_t port = 0;
  int32_t needAuth = 0;
  std::wstring user;
  std::wstring password;
};

// Result handed to a callback. Valid only during the call.
struct tagDataOut {
  std::wstring text;              // redirect: new address; completion: raw response headers
  unsigned char* data = nullptr;  // payload (progress: 8 bytes; memory download: the body)
  uint32_t dataLength = 0;
  uint32_t elapsedMs = 0;  // 0xFFFFFFFF when no transfer phase was started
  int32_t httpStatus = 0;  // 500 when it could not be read
};

enum DOWNLOAD_ERRORCODE : int32_t {
  DOWNLOAD_OK = 0,
  DOWNLOAD_NOT_MODIFIED = 1,
  DOWNLOAD_PROGRESS = 2,
  DOWNLOAD_REDIRECT = 3,
  DOWNLOAD_FAILED = 4,
  DOWNLOAD_LENGTH_MISMATCH = 5,
  DOWNLOAD_WRITE_FAILED = 6,
  DOWNLOAD_AUTH_REQUIRED = 7,
  DOWNLOAD_NOT_FOUND = 9,
  DOWNLOAD_SERVER_ERROR = 10,
  DOWNLOAD_UPLOAD_STOPPED = 11,
  DOWNLOAD_TIMEOUT = 12,
  DOWNLOAD_REDIRECT_REFUSED = 13,
};

#ifndef _SYSTEMTIME_DEFINED
#define _SYSTEMTIME_DEFINED
// The Windows SYSTEMTIME record: eight 16-bit fields, UTC for If-Modified-Since.
typedef struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} SYSTEMTIME;
#endif

typedef int(ZV_STDCALL* HttpTaskCallback)(int taskId, unsigned long userParam,
                                          DOWNLOAD_ERRORCODE code, tagDataOut* out);

#endif  // ZVNET_ZVHTTP_H_
