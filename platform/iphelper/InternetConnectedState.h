// InternetGetConnectedState: whether the calling thread's network namespace can reach beyond
// itself. Connected means a unicast default route, IPv4 or IPv6, leaves through an interface
// that is up and is not a loopback interface. Safe on any thread.
#ifndef ZVNET_PLATFORM_IPHELPER_INTERNETCONNECTEDSTATE_H_
#define ZVNET_PLATFORM_IPHELPER_INTERNETCONNECTEDSTATE_H_

#ifdef _WIN32
#include "platform/win32/WinTypes.h"

#include <wininet.h>  // InternetGetConnectedState itself
#else
#include "platform/win32/WinTypes.h"

inline constexpr DWORD INTERNET_CONNECTION_LAN = 0x02;

// TRUE when connected. `flags`, when not null, receives INTERNET_CONNECTION_LAN when connected
// and 0 otherwise. A failed query of the routing table answers FALSE.
BOOL InternetGetConnectedState(DWORD* flags, DWORD reserved);

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_IPHELPER_INTERNETCONNECTEDSTATE_H_
