// The performance report of one finished file download: decides whether to send it, traces
// the route to the host, looks up the host's address and the machine's DNS servers, builds,
// seals and sends the query.
//
// Runs on the thread of the task's PostRun (a worker's) and holds it until done; `stop` (the
// task's stop event, signalled from any thread when the task is stopped or its worker closes)
// ends the trace or the send at once, and a task stopped before its report sends none. The
// object copies the facts (what the task measured, handed over by the task) and the proxy
// settings; it does not own `stop`.
#ifndef ZVNET_HTTP_REPORT_CDNREPORT_H_
#define ZVNET_HTTP_REPORT_CDNREPORT_H_

#include "http/report/CdnReportQuery.h"
#include "platform/win32/Waitable.h"
#include "zvnet/zvhttp.h"

class CCdnReport {
 public:
  enum class Outcome {
    kSwitchedOff,  // REPORT is not 1
    kStopped,      // the task was stopped before or during the report
    kNoEndpoint,   // no usable REPORT_HOST
    kNotCdn,       // a report nobody asked for, from a server that is not the CDN's
    kSealFailed,   // no memory, or the cipher or the encoding failed
    kSendFailed,   // the endpoint could not be reached
    kSent,
  };

  CCdnReport(CdnReportFacts facts, tagHProxyInfo proxy, const CWaitable* stop);
  CCdnReport(const CCdnReport&) = delete;
  CCdnReport& operator=(const CCdnReport&) = delete;

  Outcome Run();

 private:
  bool IsStopped() const;
  // Address, canonical name, DNS servers and route trace; false when stopped meanwhile.
  bool LookUp(CdnReportLookups* lookups) const;
  Outcome Send(const std::wstring& host, const std::wstring& query) const;

  CdnReportFacts facts;
  tagHProxyInfo proxy;
  const CWaitable* stop;
};

#endif  // ZVNET_HTTP_REPORT_CDNREPORT_H_
