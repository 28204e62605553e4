// The address text of the performance report: the four bytes of an IPv4 address, most
// significant first, as eight upper-case hexadecimal digits (192.168.0.1 is "C0A80001").
#ifndef ZVNET_HTTP_REPORT_ADDRESSTEXT_H_
#define ZVNET_HTTP_REPORT_ADDRESSTEXT_H_

#include <cstdint>
#include <string>

// `address` is in network byte order, as sockets and the resolver hand it over.
std::wstring FormatAddressText(uint32_t address);

#endif  // ZVNET_HTTP_REPORT_ADDRESSTEXT_H_
