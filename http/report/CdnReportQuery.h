// The text of the performance report sent after a file download: what the download measured,
// what the report looked up, and the query built from both. Pure functions; any thread.
#ifndef ZVNET_HTTP_REPORT_CDNREPORTQUERY_H_
#define ZVNET_HTTP_REPORT_CDNREPORTQUERY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32/WinTypes.h"

inline constexpr DWORD kNotMeasured = 0xFFFFFFFF;

// What a finished file download measured, copied out of its task.
struct CdnReportFacts {
  bool reportFlag = false;  // the caller asked for the report ("&type=1")
  int32_t errorCode = 0;    // DOWNLOAD_ERRORCODE
  std::wstring host;
  std::wstring rawHeaders;  // of the last answer; may be empty
  DWORD nameResolutionMs = kNotMeasured;
  DWORD connectMs = kNotMeasured;
  DWORD firstResponseMs = kNotMeasured;
  DWORD transferMs = kNotMeasured;
  uint64_t bytesReceived = 0;
  int32_t httpStatus = 0;
  std::wstring url;
  bool stopped = false;  // the task was stopped before its report
};

// What the report found out about the host and the machine.
struct CdnReportLookups {
  std::wstring address;        // eight hex digits; empty when the host did not resolve
  std::wstring canonicalName;  // may be empty
  std::wstring dnsServer1;     // eight hex digits, or empty
  std::wstring dnsServer2;
  std::wstring traceHops;  // the route trace's hops, the text after "&trace="
};

// The word of "&fr=" for an error code.
std::wstring_view CdnReportFailureWord(int32_t errorCode);

// "pid=ime&type=...&key=end" with every key in its place. A host that did not resolve gives
// "dns_failed" and leaves the measured values out.
std::wstring BuildCdnReportQuery(const CdnReportFacts& facts, const CdnReportLookups& lookups);

// Whether the regular expression "Server:[[:space:]]*QMR" matches anywhere in the headers
// (case-sensitive).
bool MatchesCdnServer(const std::wstring& headers);

// The text in the locale's character set with every byte but ASCII letters and digits
// written "%XX"; a byte after a double-byte lead (0x82 to 0xFD) that is above 0x41 is
// escaped along with it.
std::wstring EscapeForReport(std::wstring_view text);

#endif  // ZVNET_HTTP_REPORT_CDNREPORTQUERY_H_
