#include "tests/report/ReportedDownloadTest.h"

#include "tests/support/ReportSettings.h"

namespace {

testing::Environment* const settings = testing::AddGlobalTestEnvironment(new CReportSettings);
testing::Environment* const space = testing::AddGlobalTestEnvironment(new CReportNamespace);

}  // namespace

void ReportedDownloadTest::StartReceiver() {
  receiver.Stop();  // a second start makes its socket anew, in the caller's namespace
  ASSERT_TRUE(receiver.Start());
  CReportSettings::PointAt(receiver.Port());
}

HttpTestResponse ReportedDownloadTest::File(const std::string& software) {
  HttpTestResponse response = HttpTestResponse::Text(200, std::string(200000, 'z'));
  response.delayBeforeHeaders = std::chrono::milliseconds(50);
  return response.With("Server", software);
}
