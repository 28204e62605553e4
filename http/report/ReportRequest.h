// The report's one request: opens `url` on `session`, which it takes over, with
// InternetOpenUrlW's `flags`, and returns once the endpoint answered (kSent), the request
// failed (`*error` WinINet's error) or `stop` (may be null) was signalled (kStopped). The
// answer is not read. How a stop ends the request under way differs: on Linux a watch thread
// closes the session (ReportRequest_linux.cpp); on Windows the request runs on a thread of its
// own, which the stop does not wait for (ReportRequest_win.h).
#ifndef ZVNET_HTTP_REPORT_REPORTREQUEST_H_
#define ZVNET_HTTP_REPORT_REPORTREQUEST_H_

#include <string>

#include "http/report/CdnReportSender.h"
#include "platform/win32/Waitable.h"
#include "platform/wininet/WinInet.h"

ReportSendResult SendReportRequest(const std::wstring& url, HINTERNET session, DWORD flags,
                                   const CWaitable* stop, DWORD* error);

#endif  // ZVNET_HTTP_REPORT_REPORTREQUEST_H_
