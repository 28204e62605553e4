// Where performance reports go: "REPORT_HOST" (a host or host:port) in section "CFG" of
// "config.ini" in the data folder, read for every report. Any thread.
#ifndef ZVNET_HTTP_REPORT_CDNREPORTENDPOINT_H_
#define ZVNET_HTTP_REPORT_CDNREPORTENDPOINT_H_

#include <string>
#include <string_view>

inline constexpr wchar_t kReportPath[] = L"/downloadComplete";

// The configured host; empty when it is missing or is more than a host and a port.
std::wstring ReadReportHost();

// A host name, an IPv4 address or a bracketed IPv6 address, each with an optional ":port".
bool IsValidReportHost(std::wstring_view host);

// "http://" host "/downloadComplete?ver=0&" and the Base64 text as it stands.
std::wstring BuildReportUrl(std::wstring_view host, std::string_view base64);

#endif  // ZVNET_HTTP_REPORT_CDNREPORTENDPOINT_H_
