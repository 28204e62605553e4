// Sends a sealed performance report: one HTTP GET of its http URL through the task's proxy
// settings, on a session opened as every request's is (ProxySession.h), with
// InternetOpenUrlW. A redirect in the answer is not followed and the answer is not read.
// Runs on the calling thread (a worker's); `stop` may be signalled from any thread. On Linux
// a watch thread then closes the session, which ends the request under way at once. On
// Windows the request runs on a thread of its own, which owns what it uses: a stop closes the
// session and returns without waiting, since Wine's WinINet does not end a blocking
// InternetOpenUrlW whose session another thread closes (that thread then ends at the
// request's time-outs, holding the module until then).
//
// Left open: a stop that lands while InternetOpenUrlW is between finding the session and
// registering its request under it misses that request (the stand-in's session has no
// closed state), which then runs to its answer or its time-outs (a minute in all).
#ifndef ZVNET_HTTP_REPORT_CDNREPORTSENDER_H_
#define ZVNET_HTTP_REPORT_CDNREPORTSENDER_H_

#include <string>

#include "platform/win32/Waitable.h"
#include "zvnet/zvhttp.h"

enum class ReportSendResult {
  kSent,           // the endpoint answered
  kOpenFailed,     // no HTTP session could be set up
  kRequestFailed,  // the request failed or the URL is not http; the error code says why
  kStopped,        // `stop` was signalled first
};

// Returns once the endpoint answered, the request failed or `stop` (may be null) was
// signalled. `*errorCode` gets the WinINet error code (0 when there is none).
ReportSendResult SendCdnReport(const std::wstring& url, const tagHProxyInfo& proxy,
                               const CWaitable* stop, long* errorCode);

#endif  // ZVNET_HTTP_REPORT_CDNREPORTSENDER_H_
