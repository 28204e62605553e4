// The machine's first two IPv4 DNS servers, as address text for the performance report.
// Safe on any thread.
#ifndef ZVNET_HTTP_REPORT_LOCALDNSSERVERS_H_
#define ZVNET_HTTP_REPORT_LOCALDNSSERVERS_H_

#include <string>

#include "platform/iphelper/ResolvConf.h"

// Sets `first` and `second` to the address texts of the first and second IPv4 name servers of
// the resolver file (on Windows, of the adapters' lists); an output for which there is no
// server keeps its content. Tests name their own file in `resolvConfPath`.
void GetLocalDnsServers(std::wstring& first, std::wstring& second,
                        const char* resolvConfPath = kResolvConfPath);

#endif  // ZVNET_HTTP_REPORT_LOCALDNSSERVERS_H_
