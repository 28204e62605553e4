// Reports of file downloads run by a task as its worker runs them, sent to a receiver;
// everything inside the test process's own namespace.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "http/CdnReportQuery.h"
#include "tests/http/TaskRunner.h"
#include "tests/report/ReportedDownloadTest.h"
#include "tests/support/ReportFields.h"
#include "tools/HttpTestServer.h"

namespace {

class CdnReportTaskTest : public ReportedDownloadTest {
 protected:
  // Downloads `url` into the file with a task and waits until its PostRun is done.
  void Download(CTaskRunner& runner, const std::wstring& url) {
    ASSERT_TRUE(runner.StartFile(HttpPar(url), path));
    ASSERT_TRUE(runner.WaitDone());
  }
};

}  // namespace

TEST_F(CdnReportTaskTest, DownloadFromTheCdnReportsWhatItMeasuredAndOthersReportNothing) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CHttpTestServer server;
    server.Serve("/cdn/file.bin", File("QMR/1.0"));
    server.Serve("/other.bin", File("nginx"));
    StartReceiver();
    CTaskRunner other;
    Download(other, server.Url("/other.bin"));
    EXPECT_EQ(other.Completion()->code, DOWNLOAD_OK);
    EXPECT_EQ(receiver.Count(), 0u) << "the server's software decides";

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

    // What the timing gives must be there, not merely match an empty expectation. The server
    // holds its head 50 ms, but its wait polls whole milliseconds left (it can end up to 1 ms
    // early) and the tick clock drops the fraction of each millisecond: 49 is the least that
    // a right measurement shows.
    EXPECT_GE(std::stoi(FieldValue(fields, "dtime")), 49);
    EXPECT_TRUE(std::regex_match(FieldValue(fields, "dspeed"), std::regex(R"(\d+\.00)")));
    EXPECT_EQ(FieldValue(fields, "dsize"), "200000");
    EXPECT_EQ(FieldValue(fields, "hc"), "200");
    EXPECT_EQ(FieldValue(fields, "fr"), "");
    EXPECT_EQ(FieldValue(fields, "rip"), "7F000001");
    EXPECT_EQ(FieldValue(fields, "cname"), "localhost");
    EXPECT_EQ(FieldValue(fields, "type"), "0");
  }));
  EXPECT_EQ(log.Count("CHttpTask::PostRun  ["), 2) << "each report ran and decided";
  EXPECT_EQ(log.Count("CHttpTask::ReportCdnPerf  [pid=ime&type=0&fr=&rip=7F000001"), 1);
}

TEST_F(CdnReportTaskTest, DownloadFromAHostThatDoesNotResolveReportsDnsFailed) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    StartReceiver();
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
