// Windows: WinINet itself, in asynchronous mode with its status callback (statuses arrive on
// WinINet's own threads), the system's cookie store, proxy settings and trusted authorities.
#ifndef ZVNET_PLATFORM_WININET_WININET_WIN_H_
#define ZVNET_PLATFORM_WININET_WININET_WIN_H_

#include "zvnet/zvdefs.h"  // winsock2.h and windows.h first

#include <wininet.h>

// WinINet's own following of a redirect keeps the caller's header lines and the connection's
// credentials when the redirect leads to another origin, so the task follows every redirect
// itself, through NextHop, as the stand-in does on Linux.
inline constexpr DWORD kTaskRedirectFlags = INTERNET_FLAG_NO_AUTO_REDIRECT;

#endif  // ZVNET_PLATFORM_WININET_WININET_WIN_H_
