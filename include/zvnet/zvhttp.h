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

// Why a transfer failed, in a failed completion's tagDataOut::failure. NONE on success and
// where the code and httpStatus say it all (404, 503, a cut body, a time-out of the queue).
enum ZV_FAILURE_CAUSE : int32_t {
  ZV_FAILURE_NONE = 0,
  ZV_FAILURE_CONNECTION_REFUSED = 1,      // nothing listens at the server's address and port
  ZV_FAILURE_TIMED_OUT = 2,               // the server did not answer in time
  ZV_FAILURE_HOST_NOT_FOUND = 3,          // the server's name does not resolve
  ZV_FAILURE_TLS_UNTRUSTED = 4,           // the certificate chain is not trusted
  ZV_FAILURE_TLS_WRONG_HOST = 5,          // the certificate is not for the server's name
  ZV_FAILURE_TLS_OTHER = 6,               // any other TLS failure
  ZV_FAILURE_DESTINATION_UNWRITABLE = 7,  // the file cannot be written; systemError: the errno
  ZV_FAILURE_BAD_URL = 8,                 // the URL is malformed or not http/https
  ZV_FAILURE_PROXY_UNREACHABLE = 9,       // the proxy cannot be resolved or connected to
  ZV_FAILURE_PROXY_REFUSED = 10,          // the proxy would not connect to the server
  ZV_FAILURE_REDIRECT_UNSUPPORTED = 11,   // a redirect that cannot be followed
  ZV_FAILURE_MALFORMED_RESPONSE = 12,     // the answer is not HTTP
  ZV_FAILURE_CONNECTION_LOST = 13,        // the connection broke during the exchange
  ZV_FAILURE_OTHER = 14,
};

// Result handed to a callback. Valid only during the call.
struct tagDataOut {
  std::wstring text;              // redirect: new address; completion: raw response headers
  unsigned char* data = nullptr;  // payload (progress: 8 bytes; memory download: the body)
  uint32_t dataLength = 0;
  uint32_t elapsedMs = 0;  // 0xFFFFFFFF when no transfer phase was started
  int32_t httpStatus = 0;  // 500 when it could not be read
  // Added later, at the end, so hosts built against the fields above still work: the
  // library allocates every tagDataOut.
  ZV_FAILURE_CAUSE failure = ZV_FAILURE_NONE;  // completions only
  int32_t systemError = 0;                     // the errno of DESTINATION_UNWRITABLE
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

typedef int(ZV_STDCALL* HttpTaskCallback)(int taskId, unsigned long userParam,
                                          DOWNLOAD_ERRORCODE code, tagDataOut* out);

namespace ZvHttp {

// Counts one more user and creates the service on the first call. Always 0.
ZVNET_API long Init();
// Counts one user less; the last user's call stops every worker and frees everything. Always 0.
// After it returns no callback of the family runs on any thread.
ZVNET_API long Uninit();

// Starts a worker thread and writes its id: from 1 up, and after the largest int from 1 again,
// passing over open workers. Task ids are counted the same way, passing over open requests.
ZVNET_API long CreateWorker(int* workerId);
// Stops the worker: queued requests are dropped (each reports DOWNLOAD_TIMEOUT when its time
// has passed), the running one is stopped. Waits up to 30 s for the thread.
ZVNET_API long CloseWorker(int workerId);

// The queuing calls write a fresh task id through `taskId` even when they then fail (unknown
// worker). `timeoutMs` counts from queuing to completion and is checked every 2 s.
ZVNET_API long DownloadInMem(tagDefHttpPar* par, HttpTaskCallback cb, unsigned int timeoutMs,
                             int* taskId, unsigned long userParam, int workerId);
// An empty `savePath` makes the transfer a download into memory.
ZVNET_API long DownloadInFile(tagDefHttpPar* par, const std::wstring& savePath, HttpTaskCallback cb,
                              unsigned int timeoutMs, int* taskId, unsigned long userParam,
                              int workerId, bool reportType);
// Conditional on `ifModifiedSince` when given (then `startOffset` is ignored), otherwise
// resumed at `startOffset` when it is not 0.
ZVNET_API long DownloadInFileEx(tagDefHttpPar* par, const std::wstring& savePath,
                                SYSTEMTIME* ifModifiedSince, unsigned long startOffset,
                                HttpTaskCallback cb, unsigned int timeoutMs, int* taskId,
                                unsigned long userParam, int workerId);
// POSTs a copy of the `size` bytes at `data` (null only with size 0); the server's answer
// comes back in the completion's tagDataOut.
ZVNET_API long Upload(tagDefHttpPar* par, const unsigned char* data, unsigned int size,
                      HttpTaskCallback cb, unsigned int timeoutMs, int* taskId,
                      unsigned long userParam, int workerId);

// Stops a queued or running transfer; 0 when a worker held it. Nothing of it is delivered on
// the requesting thread afterwards. Called on another thread, it returns once a callback of
// the transfer running there has returned.
ZVNET_API long StopTask(int taskId);
// Stored in the service and every worker; transfers built afterwards use it.
ZVNET_API long SetProxy(tagHProxyInfo* info);
// Stored only; limits nothing.
ZVNET_API long SetMaxTaskNum(int n);
// Synchronous: 1 when `destination` (a URL) answers with any status through the current
// proxy settings, 0 otherwise; E_FAIL without a service.
ZVNET_API int IsDestinationReachable(const wchar_t* destination);

}  // namespace ZvHttp

#endif  // ZVNET_ZVHTTP_H_
