// The address and canonical name of a download host, as the performance report writes them.
// Safe on any thread; a name look-up blocks the caller.
#ifndef ZVNET_HTTP_REPORT_HOSTADDRESS_H_
#define ZVNET_HTTP_REPORT_HOSTADDRESS_H_

#include <string>

// Dotted IPv4 text gives its address text at once and an empty canonical name ("0.0.0.0" and
// "255.255.255.255" excepted: they are looked up as names). Any other host is looked up: its
// first IPv4 address and its official name. A null host, or a failed look-up, leaves both
// outputs unchanged; a failed look-up logs its socket error.
void ResolveHostAddress(const wchar_t* host, std::wstring& addressText,
                        std::wstring& canonicalName);

#endif  // ZVNET_HTTP_REPORT_HOSTADDRESS_H_
