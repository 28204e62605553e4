// The common ground of the tests that download files with reports switched on: the data
// folder that turns reports on and the one namespace of the process (global environments,
// made once per test binary), a file to download into, a receiver, and the log.
#ifndef ZVNET_TESTS_REPORT_REPORTEDDOWNLOADTEST_H_
#define ZVNET_TESTS_REPORT_REPORTEDDOWNLOADTEST_H_

#include <gtest/gtest.h>

#include <string>

#include "tests/support/LogCapture.h"
#include "tests/support/ReportNamespace.h"
#include "tests/support/TempFolder.h"
#include "tools/CdnReportReceiver.h"
#include "tools/HttpTestMessage.h"

class ReportedDownloadTest : public testing::Test {
 protected:
  void SetUp() override { ZVNET_REQUIRE_NAMESPACE(CReportNamespace::Get()); }

  // (Re)starts the receiver (call it inside the namespace) and points the settings at it.
  void StartReceiver();
  // A file of 200 000 bytes from server software `software`, its head a little late so that
  // there is a first-response time to measure.
  static HttpTestResponse File(const std::string& software);

  CTempFolder folder;
  const std::wstring path = folder.WidePath("file.bin");
  CCdnReportReceiver receiver;  // its socket is made by Start
  CLogCapture log;
};

#endif  // ZVNET_TESTS_REPORT_REPORTEDDOWNLOADTEST_H_
