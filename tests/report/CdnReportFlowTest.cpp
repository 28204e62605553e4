#include "http/CdnReport.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Event.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ReportFields.h"
#include "tests/support/ReportNamespace.h"
#include "tests/support/ReportSettings.h"
#include "tools/CdnReportReceiver.h"

namespace {

testing::Environment* const settings = testing::AddGlobalTestEnvironment(new CReportSettings);
testing::Environment* const space = testing::AddGlobalTestEnvironment(new CReportNamespace);

// Each report runs on a thread of the process's private namespace (CReportNamespace), where
// no name query leaves the machine, and the receiver listens on that namespace's loopback.
class CdnReportFlowTest : public testing::Test {
 protected:
  void SetUp() override { ZVNET_REQUIRE_NAMESPACE(CReportNamespace::Get()); }

  using Outcome = CCdnReport::Outcome;

  // Runs the report in the namespace; the receiver's reports come back in `received`.
  Outcome Report(const CdnReportFacts& facts, const CWaitable* stop = nullptr,
                 bool withEndpoint = true) {
    Outcome outcome = Outcome::kSwitchedOff;
    EXPECT_TRUE(CReportNamespace::RunInside([&] {
      CCdnReportReceiver receiver;
      ASSERT_TRUE(receiver.Start());
      CReportSettings::PointAt(withEndpoint ? receiver.Port() : 0);
      outcome = CCdnReport(facts, tagHProxyInfo{}, stop).Run();
      received = receiver.Received();
    }));
    return outcome;
  }

  static CdnReportFacts Download(const wchar_t* host) {
    CdnReportFacts facts;
    facts.host = host;
    facts.errorCode = 0;
    facts.url = std::wstring(L"http://") + host + L"/f.bin";
    return facts;
  }

  CLogCapture log;
  std::vector<std::wstring> received;
};

}  // namespace

TEST_F(CdnReportFlowTest, ServerHeaderDecidesOnlyForReportsNobodyAskedFor) {
  struct Case {
    bool reportFlag;
    const wchar_t* headers;
    bool sent;
  };
  const Case cases[] = {
      {false, L"HTTP/1.1 200 OK\r\nServer: QMR/3.1\r\n\r\n", true},
      {false, L"HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n", false},
      {false, L"", true},
      {true, L"HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    CdnReportFacts facts = Download(L"127.0.0.1");
    facts.reportFlag = c.reportFlag;
    facts.rawHeaders = c.headers;
    EXPECT_EQ(Report(facts), c.sent ? Outcome::kSent : Outcome::kNotCdn);
    ASSERT_EQ(received.size(), c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(FieldValue(ParseReportFields(received[0]), "type"), c.reportFlag ? "1" : "0");
    }
  }
}

TEST_F(CdnReportFlowTest, WithoutEndpointNothingIsSentAndTheLogSaysSo) {
  EXPECT_EQ(Report(Download(L"127.0.0.1"), nullptr, false), Outcome::kNoEndpoint);
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(log.Contains("CHttpTask::ReportCdnPerf no REPORT_HOST in config.ini"));
}

TEST_F(CdnReportFlowTest, TaskStoppedBeforeItsReportSendsNone) {
  CEvent stop;
  stop.Set();
  EXPECT_EQ(Report(Download(L"127.0.0.1"), &stop), Outcome::kStopped);
  EXPECT_TRUE(received.empty());
}
