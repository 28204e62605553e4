#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>

#include "http/CdnReportQuery.h"
#include "http/CdnReportReceiver.h"
#include "tests/http/TaskRunner.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ReportFields.h"
#include "tests/support/ReportNamespace.h"
#include "tests/support/ReportSettings.h"

namespace {

testing::Environment* const settings = testing::AddGlobalTestEnvironment(new CReportSettings);
testing::Environment* const space = testing::AddGlobalTestEnvironment(new CReportNamespace);

// File downloads run by a task as its worker runs them, with reports switched on and sent to
// a receiver; everything inside the test process's own namespace.
class CdnReportTaskTest : public testing::Test {
 protected:
  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(CReportNamespace::Get());
    char name[] = "/tmp/zvnet-report-dl-XXXXXX";
    int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path = name;
  }
  void TearDown() override { ::unlink(path.c_str()); }

  // Downloads `url` into the file with a task and waits until its PostRun is done.
  void Download(CTaskRunner& runner, const std::wstring& url) {
    tagDefHttpPar par;
    par.url = url;
    ASSERT_TRUE(runner.StartFile(par, std::wstring(path.begin(), path.end())));
    ASSERT_TRUE(runner.WaitDone());
  }

  static HttpTestResponse File(const std::string& server) {
    HttpTestResponse response = HttpTestResponse::Text(200, std::string(200000, 'z'));
    response.delayBeforeHeaders = std::chrono::milliseconds(50);  // a first response to time
    return response.With("Server", server);
  }

  std::string path;
  CLogCapture log;
};

}  // namespace

TEST_F(CdnReportTaskTest, FinishedDownloadReportsWhatItMeasuredKeyByKey) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CHttpTestServer server;
    server.Serve("/cdn/file.bin", File("QMR/1.0"));
    CCdnReportReceiver receiver;
    ASSERT_TRUE(receiver.Start());
    CReportSettings::PointAt(receiver.Port());
    CTaskRunner runner;
    const std::wstring url = server.Url("/cdn/file.bin?v=1", "localhost");
    Download(runner, url);
    ASSERT_EQ(runner.Completion()->code, DOWNLOAD_OK);
    ASSERT_EQ(receiver.Count(), 1u) << "sent before the task ended";

    ReportFields fields = ParseReportFields(receiver.Received()[0]);
    const std::string trace = FieldValue(fields, "trace");
    EXPECT_TRUE(std::regex_match(trace, std::regex(R"(127\.0\.0\.1\[\d+\])"))) << trace;
    CdnReportFacts facts;
    facts.url = url;
    facts.bytesReceived = 200000;
    facts.httpStatus = 200;
    facts.nameResolutionMs = runner.Timing().nameResolution;
    facts.connectMs = runner.Timing().connect;
    facts.firstResponseMs = runner.Timing().firstResponse;
    facts.transferMs = runner.Timing().transfer;
    CdnReportLookups lookups{L"7F000001", L"localhost", L"7F000002", L"7F000003",
                             std::wstring(trace.begin(), trace.end())};
    EXPECT_EQ(fields, ParseReportFields(BuildCdnReportQuery(facts, lookups)));

    // What the timing gives must be there, not merely match an empty expectation.
    EXPECT_GE(std::stoi(FieldValue(fields, "dtime")), 50);
    EXPECT_TRUE(std::regex_match(FieldValue(fields, "dspeed"), std::regex(R"(\d+\.00)")));
    EXPECT_EQ(FieldValue(fields, "dsize"), "200000");
    EXPECT_EQ(FieldValue(fields, "hc"), "200");
    EXPECT_EQ(FieldValue(fields, "fr"), "");
    EXPECT_EQ(FieldValue(fields, "rip"), "7F000001");
    EXPECT_EQ(FieldValue(fields, "cname"), "localhost");
    EXPECT_EQ(FieldValue(fields, "type"), "0");
  }));
  EXPECT_EQ(log.Count("CHttpTask::PostRun  ["), 1);
  EXPECT_EQ(log.Count("CHttpTask::ReportCdnPerf  [pid=ime&type=0&fr=&rip=7F000001"), 1);
}

TEST_F(CdnReportTaskTest, AnswerOfOtherServerSoftwareSendsNoReport) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CHttpTestServer server;
    server.Serve("/file.bin", File("nginx"));
    CCdnReportReceiver receiver;
    ASSERT_TRUE(receiver.Start());
    CReportSettings::PointAt(receiver.Port());
    CTaskRunner runner;
    Download(runner, server.Url("/file.bin"));
    EXPECT_EQ(runner.Completion()->code, DOWNLOAD_OK);
    EXPECT_EQ(receiver.Count(), 0u);
  }));
  EXPECT_EQ(log.Count("CHttpTask::PostRun  ["), 1) << "the report ran and decided";
}

TEST_F(CdnReportTaskTest, DownloadFromAHostThatDoesNotResolveReportsDnsFailed) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CCdnReportReceiver receiver;
    ASSERT_TRUE(receiver.Start());
    CReportSettings::PointAt(receiver.Port());
    CTaskRunner runner;
    Download(runner, L"http://nosuch.zvnet.test:8080/file.bin");
    EXPECT_EQ(runner.Completion()->code, DOWNLOAD_FAILED);
    ASSERT_EQ(receiver.Count(), 1u);
    ReportFields fields = ParseReportFields(receiver.Received()[0]);
    EXPECT_EQ(FieldValue(fields, "fr"), "dns_failed");
    for (const char* key :
         {"rip", "cname", "dnst", "ctime", "dtime", "dsize", "dspeed", "tt", "hc", "trace"}) {
      EXPECT_EQ(FieldValue(fields, key), "") << key;
    }
    EXPECT_EQ(FieldValue(fields, "ldip1"), "7F000002");
    EXPECT_EQ(FieldValue(fields, "url"), "http%3A%2F%2Fnosuch%2Ezvnet%2Etest%3A8080%2Ffile%2Ebin");
  }));
}
