#include "http/CdnReport.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "http/CdnReportReceiver.h"
#include "platform/Event.h"
#include "tests/support/IcmpRequestWatch.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/NetSysctl.h"
#include "tests/support/Pump.h"
#include "tests/support/ReportFields.h"
#include "tests/support/ReportSettings.h"

namespace {

testing::Environment* const settings = testing::AddGlobalTestEnvironment(new CReportSettings);

// Each report runs on a thread of a private namespace with its own hosts file and resolver
// file; the resolver's servers are loopback addresses where nothing answers, so no query
// leaves the machine, and the receiver listens on that namespace's loopback.
class CdnReportFlowTest : public testing::Test {
 protected:
  void SetUp() override { ZVNET_REQUIRE_NAMESPACE(ns); }

  using Outcome = CCdnReport::Outcome;

  // Runs the report in the namespace; the receiver's reports come back in `received`.
  Outcome Report(const CdnReportFacts& facts, const CWaitable* stop = nullptr,
                 bool withEndpoint = true) {
    Outcome outcome = Outcome::kSwitchedOff;
    EXPECT_TRUE(ns.RunOnThread(
        [&] {
          CCdnReportReceiver receiver;
          ASSERT_TRUE(receiver.Start());
          CReportSettings::PointAt(withEndpoint ? receiver.Port() : 0);
          outcome = CCdnReport(facts, tagHProxyInfo{}, stop).Run();
          received = receiver.Received();
        },
        kFiles));
    return outcome;
  }

  static CdnReportFacts Download(const wchar_t* host) {
    CdnReportFacts facts;
    facts.host = host;
    facts.errorCode = 0;
    facts.nameResolutionMs = 3;
    facts.connectMs = 5;
    facts.firstResponseMs = 40;
    facts.transferMs = 45;
    facts.bytesReceived = 100000;
    facts.httpStatus = 200;
    facts.url = std::wstring(L"http://") + host + L"/f.bin";
    return facts;
  }

  const std::map<std::string, std::string> kFiles = {
      {"/etc/hosts", "127.0.0.1 localhost\n"},
      {"/etc/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.3\noptions timeout:1\n"}};
  CNetNamespace ns;
  CLogCapture log;
  std::vector<std::wstring> received;
};

}  // namespace

TEST_F(CdnReportFlowTest, ReportArrivesWithEveryValueKeyByKey) {
  CdnReportFacts facts = Download(L"localhost");
  ASSERT_EQ(Report(facts), Outcome::kSent);
  ASSERT_EQ(received.size(), 1u);
  ReportFields fields = ParseReportFields(received[0]);
  const std::string trace = FieldValue(fields, "trace");
  EXPECT_TRUE(std::regex_match(trace, std::regex(R"(127\.0\.0\.1\[\d+\])"))) << trace;

  CdnReportLookups lookups{L"7F000001", L"localhost", L"7F000002", L"7F000003",
                           std::wstring(trace.begin(), trace.end())};
  EXPECT_EQ(fields, ParseReportFields(BuildCdnReportQuery(facts, lookups)));
  EXPECT_EQ(FieldValue(fields, "dspeed"), "2500000.00");
  EXPECT_EQ(FieldValue(fields, "url"), "http%3A%2F%2Flocalhost%2Ff%2Ebin");
  EXPECT_EQ(log.Count("CHttpTask::ReportCdnPerf  [pid=ime&type=0&fr=&rip=7F000001"), 1);
}

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

TEST_F(CdnReportFlowTest, HostThatDoesNotResolveReportsDnsFailedWithoutTrace) {
  CdnReportFacts facts = Download(L"nosuch.zvnet.test");
  facts.errorCode = 4;
  ASSERT_EQ(Report(facts), Outcome::kSent);
  ASSERT_EQ(received.size(), 1u);
  ReportFields fields = ParseReportFields(received[0]);
  EXPECT_EQ(FieldValue(fields, "fr"), "dns_failed");
  for (const char* key : {"rip", "cname", "dnst", "ctime", "rtime", "dtime", "dsize", "dspeed",
                          "tt", "hc", "usrip", "trace"}) {
    EXPECT_EQ(FieldValue(fields, key), "") << key;
  }
  EXPECT_EQ(FieldValue(fields, "ldip1"), "7F000002");
  EXPECT_EQ(FieldValue(fields, "ldip2"), "7F000003");
  EXPECT_EQ(FieldValue(fields, "url"), "http%3A%2F%2Fnosuch%2Ezvnet%2Etest%2Ff%2Ebin");
  EXPECT_EQ(FieldValue(fields, "key"), "end");
  EXPECT_EQ(log.Count("gethostbyname failed"), 1);
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

TEST_F(CdnReportFlowTest, StopEndsTheTraceAndNothingIsSent) {
  ASSERT_TRUE(SetNetSysctl(ns, "net/ipv4/icmp_echo_ignore_all", "1"));
  ASSERT_TRUE(ns.RunOnThread([&] {
    CCdnReportReceiver receiver;
    ASSERT_TRUE(receiver.Start());
    CReportSettings::PointAt(receiver.Port());
    CIcmpRequestWatch requests;
    CEvent stop;
    std::optional<Outcome> outcome;
    std::thread worker(
        [&] { outcome = CCdnReport(Download(L"127.0.0.1"), tagHProxyInfo{}, &stop).Run(); });
    EXPECT_TRUE(WaitUntil([&] { return requests.Count() >= 2; }, 10s));
    stop.Set();
    worker.join();
    EXPECT_EQ(outcome, Outcome::kStopped);
    EXPECT_EQ(receiver.Count(), 0u);
  }));
}
