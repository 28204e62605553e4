// The name servers of the resolver configuration, standing in for the DNS server lists of the
// adapters. Safe on any thread; reads the file on every call.
#ifndef ZVNET_PLATFORM_IPHELPER_RESOLVCONF_H_
#define ZVNET_PLATFORM_IPHELPER_RESOLVCONF_H_

#include <cstdint>
#include <vector>

#ifdef _WIN32
// Windows has no resolver file: the servers are the adapters' own, from GetAdaptersAddresses
// (IPv4 adapters, in list order, each adapter's servers in its order;
// ResolvConf_win.cpp), and `path` is not read. Empty when the list cannot be had.
inline constexpr char kResolvConfPath[] = "";
std::vector<uint32_t> ReadResolvConfNameservers(const char* path);
#else
inline constexpr char kResolvConfPath[] = "/etc/resolv.conf";

// The IPv4 addresses of the "nameserver" lines of the file at `path`, in file order, in
// network byte order. Lines are read as the C library's resolver reads them: the keyword
// starts the line and is followed by a blank; the address ends at a blank, ';' or '#'.
// IPv6 servers and malformed addresses are skipped. Empty when the file cannot be read.
std::vector<uint32_t> ReadResolvConfNameservers(const char* path);
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_IPHELPER_RESOLVCONF_H_
