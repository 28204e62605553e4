// Windows: the performance report is not built yet (its cipher, route trace and look-ups need
// their Windows means), so no report is ever sent, as when the user has not turned it on.
#include "http/CdnReport.h"

#include <utility>

CCdnReport::CCdnReport(CdnReportFacts facts, tagHProxyInfo proxy, const CWaitable* stop)
    : facts(std::move(facts)), proxy(std::move(proxy)), stop(stop) {}

CCdnReport::Outcome CCdnReport::Run() {
  return Outcome::kSwitchedOff;
}
