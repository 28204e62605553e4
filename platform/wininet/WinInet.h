// The part of WinINet that the HTTP family uses, built on libcurl.
//
// Handles are opaque values drawn from a counter and never reused; a closed handle stays
// invalid (ERROR_INVALID_HANDLE). Failures answer FALSE or null with the reason in
// GetLastError(). Strings are wide in the W calls and narrow in the A calls; lengths of W
// query buffers are in bytes, as in WinINet.
//
// How the calls map onto libcurl:
// - A request runs on the thread that sent it: each thread that sends has an engine with its
//   own multi handle and pool of kept-alive connections, and no thread of its own. The engine
//   runs the thread's transfers inside the thread's waits (WaitForMultipleObjects and the
//   blocking calls of a synchronous session), so no thread switch stands between the network
//   and the caller. One share handle holds the cookie store, the DNS cache and the TLS
//   session cache for all threads. Every libcurl call of a request runs on its thread.
// - InternetOpen keeps agent and proxy settings; InternetConnect keeps host, port and
//   credentials; HttpOpenRequest keeps verb, object, flags and headers. None of them touch
//   the network. HttpSendRequest(Ex) builds one easy handle and hands it to the engine.
// - In a session opened with INTERNET_FLAG_ASYNC every call that would wait for the network
//   (send, send-ex, end, read, write) answers FALSE with ERROR_IO_PENDING and completes
//   through status 100 (INTERNET_STATUS_REQUEST_COMPLETE), sent on the request's thread while
//   it waits; the data of a pending read is in the caller's buffer before that status is
//   sent. A request makes progress only while its thread waits or calls. No call of an
//   asynchronous session ever blocks on the network, so a caller that waits on its own stop
//   event can always leave. IRF_SYNC and IRF_NO_WAIT do not change this.
// - In a synchronous session the same calls block until done, bounded by the connect and
//   receive time-outs (60 s each by default).
// - The body goes straight into the buffer of a pending read, else into a bounded buffer; when
//   that is full the transfer is paused until the reader drains it. Upload bodies go the
//   other way through a bounded buffer in the same manner.
// - Statuses reach the handle's callback in real time, only for handles with a non-zero
//   context: 60 (handle created) and 70 (closing) on the calling thread during the call;
//   10/11 (resolving, resolved), 20/21 (connecting, connected), 30/31 (sending, sent), 100
//   and 110 (redirect, with the new URL) on the request's thread. A transfer that reuses a
//   pooled connection reports no 10, 11, 20 or 21. "Connected" is reported once the
//   connection can carry the request, so for https it includes the TLS handshake.
// - Redirects (301, 302, 303, 307, 308) are followed by the stand-in unless the request has
//   INTERNET_FLAG_NO_AUTO_REDIRECT, at most 20 in a row (ERROR_HTTP_REDIRECT_FAILED after);
//   a streamed upload is not replayed on 307/308. Only http
//   and https are followed (ERROR_INTERNET_UNRECOGNIZED_SCHEME otherwise), and from https
//   to http only with INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP (ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR
//   otherwise). What each hop carries is decided by NextHop (platform/wininet/HttpRedirect.h).
// - Proxies: INTERNET_OPEN_TYPE_DIRECT ignores the proxy environment variables;
//   INTERNET_OPEN_TYPE_PRECONFIG asks the system's settings for each request's URL (the
//   desktop's, through GIO; the environment variables without it: CSystemProxyResolver) and
//   tries the proxies they name in order while the connection to one fails;
//   INTERNET_OPEN_TYPE_PROXY takes "host:port" (an HTTP proxy) or "SOCKS=host:port" (SOCKS5).
//   INTERNET_OPTION_PROXY_USERNAME/PASSWORD on a request authenticate to the proxy; set on a
//   session they go with every request opened under it afterwards (InternetOpenUrl too).
// - TLS: the peer's chain and host name are verified unless the request's flags say to
//   ignore them; INTERNET_FLAG_IGNORE_CERT_DATE_INVALID lets certificates outside their
//   validity dates pass. Authorities trusted besides the system's come from the PEM file
//   named by the environment variable ZVNET_CA_FILE (read at each new TLS connection).
// - Cookies: InternetSetCookieW and every Set-Cookie received go into one process-wide store
//   that every later matching request sends from.
#ifndef ZVNET_PLATFORM_WININET_WININET_H_
#define ZVNET_PLATFORM_WININET_WININET_H_

#ifdef _WIN32
#include "platform/wininet/WinInet_win.h"  // <wininet.h> itself
#else
#include <cstdint>

#include "platform/win32/WinTypes.h"

typedef void* HINTERNET;
typedef uintptr_t DWORD_PTR;
typedef uint16_t INTERNET_PORT;

// Redirect flags every request of the HTTP task carries: none here, since the stand-in follows
// redirects through NextHop itself.
inline constexpr DWORD kTaskRedirectFlags = 0;

typedef void(CALLBACK* INTERNET_STATUS_CALLBACK)(HINTERNET handle, DWORD_PTR context, DWORD status,
                                                 void* information, DWORD informationLength);
#define INTERNET_INVALID_STATUS_CALLBACK (reinterpret_cast<INTERNET_STATUS_CALLBACK>(-1))

// Information of statuses 60 (the new handle in dwResult) and 100 (TRUE/FALSE and the error).
struct INTERNET_ASYNC_RESULT {
  DWORD_PTR dwResult;
  DWORD dwError;
};

struct INTERNET_BUFFERSA {
  DWORD dwStructSize;
  INTERNET_BUFFERSA* Next;
  const char* lpcszHeader;
  DWORD dwHeadersLength;
  DWORD dwHeadersTotal;
  void* lpvBuffer;
  DWORD dwBufferLength;
  DWORD dwBufferTotal;
  DWORD dwOffsetLow;
  DWORD dwOffsetHigh;
};

struct INTERNET_BUFFERSW {
  DWORD dwStructSize;
  INTERNET_BUFFERSW* Next;
  const wchar_t* lpcszHeader;
  DWORD dwHeadersLength;
  DWORD dwHeadersTotal;
  void* lpvBuffer;
  DWORD dwBufferLength;
  DWORD dwBufferTotal;  // HttpSendRequestEx: the body length announced
  DWORD dwOffsetLow;
  DWORD dwOffsetHigh;  // HttpSendRequestEx: high 32 bits of a body of 4 GiB or more
};

// Access types of InternetOpen.
inline constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
inline constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
inline constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

inline constexpr DWORD INTERNET_SERVICE_HTTP = 3;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// Flags of InternetOpen, InternetConnect, HttpOpenRequest and InternetOpenUrl.
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr DWORD INTERNET_FLAG_ASYNC = 0x10000000;
inline constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
inline constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;
inline constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;
inline constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP = 0x00008000;

// Options.
inline constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
inline constexpr DWORD INTERNET_OPTION_CONNECT_RETRIES = 3;
inline constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
inline constexpr DWORD INTERNET_OPTION_HANDLE_TYPE = 9;
inline constexpr DWORD INTERNET_OPTION_SECURITY_FLAGS = 31;
inline constexpr DWORD INTERNET_OPTION_PROXY_USERNAME = 43;
inline constexpr DWORD INTERNET_OPTION_PROXY_PASSWORD = 44;

inline constexpr DWORD INTERNET_HANDLE_TYPE_INTERNET = 1;
inline constexpr DWORD INTERNET_HANDLE_TYPE_CONNECT_HTTP = 4;
inline constexpr DWORD INTERNET_HANDLE_TYPE_HTTP_REQUEST = 13;

inline constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// Queries.
inline constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD HTTP_QUERY_LAST_MODIFIED = 11;
inline constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
inline constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
inline constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
inline constexpr DWORD HTTP_QUERY_LOCATION = 33;
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER64 = 0x08000000;
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;
inline constexpr DWORD HTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000;

inline constexpr DWORD HTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
inline constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

inline constexpr DWORD IRF_ASYNC = 1;
inline constexpr DWORD IRF_SYNC = 4;
inline constexpr DWORD IRF_NO_WAIT = 8;

// Statuses.
inline constexpr DWORD INTERNET_STATUS_RESOLVING_NAME = 10;
inline constexpr DWORD INTERNET_STATUS_NAME_RESOLVED = 11;
inline constexpr DWORD INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
inline constexpr DWORD INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
inline constexpr DWORD INTERNET_STATUS_SENDING_REQUEST = 30;
inline constexpr DWORD INTERNET_STATUS_REQUEST_SENT = 31;
inline constexpr DWORD INTERNET_STATUS_HANDLE_CREATED = 60;
inline constexpr DWORD INTERNET_STATUS_HANDLE_CLOSING = 70;
inline constexpr DWORD INTERNET_STATUS_REQUEST_COMPLETE = 100;
inline constexpr DWORD INTERNET_STATUS_REDIRECT = 110;

// Errors.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
inline constexpr DWORD ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR = 12040;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
inline constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
inline constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_INTERNET_INVALID_SERVER_RESPONSE = ERROR_HTTP_INVALID_SERVER_RESPONSE;
inline constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
inline constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
inline constexpr DWORD ERROR_INTERNET_PROXY_SERVER_UNREACHABLE = 12165;

// Sessions, connections and requests.
HINTERNET InternetOpenW(const wchar_t* agent, DWORD accessType, const wchar_t* proxy,
                        const wchar_t* proxyBypass, DWORD flags);
// The previous callback, or INTERNET_INVALID_STATUS_CALLBACK for an invalid handle. Handles
// made later under this one inherit the callback in force when they are made.
INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET handle,
                                                    INTERNET_STATUS_CALLBACK callback);
HINTERNET InternetConnectW(HINTERNET session, const wchar_t* serverName, INTERNET_PORT port,
                           const wchar_t* userName, const wchar_t* password, DWORD service,
                           DWORD flags, DWORD_PTR context);
HINTERNET HttpOpenRequestW(HINTERNET connection, const wchar_t* verb, const wchar_t* objectName,
                           const wchar_t* version, const wchar_t* referrer,
                           const wchar_t** acceptTypes, DWORD flags, DWORD_PTR context);
// `length` in characters; (DWORD)-1 for a zero-terminated text. Lines end with CRLF.
BOOL HttpAddRequestHeadersW(HINTERNET request, const wchar_t* headers, DWORD length,
                            DWORD modifiers);
BOOL HttpSendRequestW(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                      void* optional, DWORD optionalLength);
BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffersIn,
                        INTERNET_BUFFERSW* buffersOut, DWORD flags, DWORD_PTR context);
BOOL InternetWriteFile(HINTERNET request, const void* buffer, DWORD count, DWORD* written);
BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW* buffersOut, DWORD flags,
                     DWORD_PTR context);
BOOL InternetReadFileExA(HINTERNET request, INTERNET_BUFFERSA* buffersOut, DWORD flags,
                         DWORD_PTR context);
BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD count, DWORD* read);
BOOL HttpQueryInfoW(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength,
                    DWORD* index);
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength,
                    DWORD* index);
BOOL InternetSetOptionW(HINTERNET handle, DWORD option, void* buffer, DWORD bufferLength);
BOOL InternetQueryOptionW(HINTERNET handle, DWORD option, void* buffer, DWORD* bufferLength);
// Stores "name=data" for `url` in the process-wide store; `data` may carry cookie attributes
// ("; path=/p; domain=.example.org; expires=...; secure").
BOOL InternetSetCookieW(const wchar_t* url, const wchar_t* cookieName, const wchar_t* cookieData);
// Opens an http or https URL with a GET on a synchronous session: the handle is a request
// whose answer's head has arrived, whatever its status.
HINTERNET InternetOpenUrlW(HINTERNET session, const wchar_t* url, const wchar_t* headers,
                           DWORD headersLength, DWORD flags, DWORD_PTR context);
// Closes the handle and every handle made under it. Once it has returned, no status of
// those handles is reported any more and no transfer of theirs touches a caller's buffer.
BOOL InternetCloseHandle(HINTERNET handle);

#endif
#endif  // ZVNET_PLATFORM_WININET_WININET_H_
