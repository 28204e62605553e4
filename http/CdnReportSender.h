// Sends a sealed performance report: one HTTP GET of its URL through the task's proxy
// settings, with the user agent of every request; the answer's body is not read.
// Runs on the calling thread (a worker's); `stop` may be signalled from any thread.
#ifndef ZVNET_HTTP_CDNREPORTSENDER_H_
#define ZVNET_HTTP_CDNREPORTSENDER_H_

#include <string>

#include "platform/Waitable.h"
#include "zvnet/zvhttp.h"

enum class ReportSendResult {
  kSent,           // the endpoint answered
  kOpenFailed,     // no HTTP session could be set up
  kRequestFailed,  // the request failed; the error code says why
  kStopped,        // `stop` was signalled first
};

// Returns once the endpoint answered, the request failed or `stop` (may be null) was
// signalled. `*errorCode` gets the transfer's error code (0 when there is none).
ReportSendResult SendCdnReport(const std::wstring& url, const tagHProxyInfo& proxy,
                               const CWaitable* stop, long* errorCode);

#endif  // ZVNET_HTTP_CDNREPORTSENDER_H_
