#include "http/report/CdnReport.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/DataFolder.h"
#include "frame/Log.h"
#include "http/report/CdnReportCipher.h"
#include "http/report/CdnReportEndpoint.h"
#include "http/report/CdnReportSender.h"
#include "http/report/HostAddress.h"
#include "http/report/LocalDnsServers.h"
#include "http/report/RouteTrace.h"
#include "platform/win32/PostBatch.h"
#include "platform/win32/Wait.h"

namespace {

// The address in network byte order of an address text ("0A470302").
uint32_t ParseAddressText(const std::wstring& text) {
  const auto value = static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 16));
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

}  // namespace

CCdnReport::CCdnReport(CdnReportFacts facts, tagHProxyInfo proxy, const CWaitable* stop)
    : facts(std::move(facts)), proxy(std::move(proxy)), stop(stop) {}

CCdnReport::Outcome CCdnReport::Run() {
  if (!IsReportEnabled()) return Outcome::kSwitchedOff;
  // A stopped task (stopped by its caller, its time-out or the closing of its worker) must
  // give its thread back at once: no trace, no request.
  if (facts.stopped || IsStopped()) return Outcome::kStopped;
  const std::wstring host = ReadReportHost();
  if (host.empty()) {
    WriteLog(LOG_EVENT, L"CHttpTask::ReportCdnPerf no REPORT_HOST in config.ini, no report");
    return Outcome::kNoEndpoint;
  }
  // Decided before the trace, which would otherwise hold the worker for nothing.
  if (!facts.reportFlag && !facts.rawHeaders.empty() && !MatchesCdnServer(facts.rawHeaders)) {
    return Outcome::kNotCdn;
  }
  // The look-ups and the trace block outside the thread's waits: messages queued already must
  // not wait for them.
  if (CPostBatch* batch = CPostBatch::Current()) batch->WakeNow();
  CdnReportLookups lookups;
  if (!LookUp(&lookups)) return Outcome::kStopped;
  return Send(host, BuildCdnReportQuery(facts, lookups));
}

bool CCdnReport::IsStopped() const {
  return stop && WaitForSingleObject(*stop, 0) == WAIT_OBJECT_0;
}

bool CCdnReport::LookUp(CdnReportLookups* lookups) const {
  ResolveHostAddress(facts.host.c_str(), lookups->address, lookups->canonicalName);
  GetLocalDnsServers(lookups->dnsServer1, lookups->dnsServer2);
  // The trace probes the address just found; a host that did not resolve is not probed.
  if (lookups->address.empty()) return true;
  CRouteTrace trace(stop);
  trace.RunTo(ParseAddressText(lookups->address));
  if (trace.WasStopped()) return false;
  lookups->traceHops = trace.Format();
  return true;
}

CCdnReport::Outcome CCdnReport::Send(const std::wstring& host, const std::wstring& query) const {
  std::string sealed;
  switch (SealCdnReport(query, &sealed)) {
    case ReportSealResult::kSealed:
      break;
    case ReportSealResult::kNoMemory:
      WriteLog(LOG_FAIL, L"CHttpTask::ReportCdnPerf new Error");
      return Outcome::kSealFailed;
    default:
      return Outcome::kSealFailed;
  }
  WriteLog(LOG_EVENT, L"CHttpTask::ReportCdnPerf  [%s]", query.c_str());
  long error = 0;
  switch (SendCdnReport(BuildReportUrl(host, sealed), proxy, stop, &error)) {
    case ReportSendResult::kSent:
      return Outcome::kSent;
    case ReportSendResult::kStopped:
      return Outcome::kStopped;
    case ReportSendResult::kOpenFailed:
      WriteLog(LOG_FAIL, L"CHttpTask::ReportCdnPerf InternetOpen Failed [%d]",
               static_cast<int>(error));
      return Outcome::kSendFailed;
    case ReportSendResult::kRequestFailed:
      WriteLog(LOG_FAIL, L"CHttpTask::ReportCdnPerf InternetOpenUrl Failed [%d]",
               static_cast<int>(error));
      return Outcome::kSendFailed;
  }
  return Outcome::kSendFailed;
}
