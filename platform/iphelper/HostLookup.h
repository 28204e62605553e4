// inet_addr and gethostbyname, IPv4 only: on Linux over inet_pton and getaddrinfo, on Windows
// the Winsock calls themselves (platform/iphelper/HostLookup_win.cpp). Safe on any thread.
#ifndef ZVNET_PLATFORM_IPHELPER_HOSTLOOKUP_H_
#define ZVNET_PLATFORM_IPHELPER_HOSTLOOKUP_H_

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32/WinTypes.h"  // winsock2.h: the socket errors and INADDR_NONE
#else
// The socket errors of a failed look-up.
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;
#endif  // _WIN32

inline constexpr uint32_t kInetAddrNone = 0xFFFFFFFFu;

// The address of dotted-quad text ("192.168.0.1"), in network byte order; kInetAddrNone when
// the text is anything else (and, as on Windows, for "255.255.255.255" itself).
uint32_t InetAddr(const char* text);

// The IPv4 addresses of `name` in answer order (network byte order) and its official name.
// Answers 0, or one of the socket errors above; the outputs are only written on success.
int GetHostByName(const char* name, std::string& officialName, std::vector<uint32_t>& addresses);

#endif  // ZVNET_PLATFORM_IPHELPER_HOSTLOOKUP_H_
