// Internet sessions opened the way every request of the library opens them: its user agent
// and the caller's proxy settings. Used by the HTTP task, the reachability probe and the
// performance report. Pure functions over the WinINet stand-in; any thread.
#ifndef ZVNET_HTTP_PROXYSESSION_H_
#define ZVNET_HTTP_PROXYSESSION_H_

#include <memory>

#include "platform/wininet/WinInet.h"
#include "zvnet/zvhttp.h"

// Proxy type 0: direct, whatever the environment says; 3: the system's settings; any other:
// the named HTTP ("host:port") or, for type 2, SOCKS5 ("SOCKS=host:port") proxy. Null when
// the session cannot be opened (GetLastError() says why).
HINTERNET OpenProxySession(const tagHProxyInfo& proxy, DWORD flags);

// When the proxy needs them, puts its credentials on `handle`: a request, or a session for
// every request opened under it afterwards. False when they cannot be set.
bool SetProxyCredentials(HINTERNET handle, const tagHProxyInfo& proxy);

// Closes a handle that nothing else closes.
struct InternetHandleCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using UniqueInternetHandle = std::unique_ptr<void, InternetHandleCloser>;

#endif  // ZVNET_HTTP_PROXYSESSION_H_
