#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>

#include "http/CdnReportReceiver.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/IcmpRequestWatch.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetSysctl.h"
#include "tests/support/Pump.h"
#include "tests/support/ReportFields.h"
#include "tests/support/ReportNamespace.h"
#include "tests/support/ReportSettings.h"
#include "zvnet/zvhttp.h"

namespace {

testing::Environment* const settings = testing::AddGlobalTestEnvironment(new CReportSettings);
testing::Environment* const space = testing::AddGlobalTestEnvironment(new CReportNamespace);

// File downloads through the ZvHttp exports with reports switched on, a test server that
// names other server software, and a receiver; all in the process's own namespace, on one
// requesting thread that pumps its messages.
class CdnReportExportsTest : public testing::Test {
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

  // Starts the family, a worker, the server, the receiver, and one file download asking for
  // the report; waits for its completion callback.
  void StartReportedDownload() {
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
    server = std::make_unique<CHttpTestServer>();  // made here, its socket in the namespace
    HttpTestResponse file = HttpTestResponse::Text(200, std::string(200000, 'z'));
    server->Serve("/file.bin", file.With("Server", "nginx"));
    ASSERT_TRUE(receiver.Start());
    CReportSettings::PointAt(receiver.Port());
    tagDefHttpPar par;
    par.url = server->Url("/file.bin", "localhost");
    ASSERT_EQ(ZvHttp::DownloadInFile(&par, std::wstring(path.begin(), path.end()),
                                     CHttpCallbackLog::Callback, 20000, &taskId, callbacks.Param(),
                                     worker, /*reportType=*/true),
              0);
    ASSERT_TRUE(PumpUntil([&] { return callbacks.HasTerminal(taskId); }, 20s));
    ASSERT_EQ(callbacks.Terminal(taskId).code, DOWNLOAD_OK);
  }

  // Waits until the worker's trace has sent its second probe, with every hop silent: the
  // report would hold the worker for two minutes.
  void WaitForSilentTrace(CIcmpRequestWatch& requests) {
    ASSERT_TRUE(WaitUntil([&] { return requests.Count() >= 2; }, 20s));
  }

  std::string path;
  int worker = 0;
  int taskId = 0;
  std::unique_ptr<CHttpTestServer> server;
  CCdnReportReceiver receiver;  // its socket is made by Start, in the namespace
  CHttpCallbackLog callbacks;
  CLogCapture log;
};

// Makes every hop of a trace silent in the namespace for the life of the object.
class CSilentEchoes {
 public:
  CSilentEchoes() { ok = SetNetSysctl(CReportNamespace::Get(), kKey, "1"); }
  ~CSilentEchoes() { SetNetSysctl(CReportNamespace::Get(), kKey, "0"); }
  bool ok = false;

 private:
  static constexpr char kKey[] = "net/ipv4/icmp_echo_ignore_all";
};

}  // namespace

TEST_F(CdnReportExportsTest, RequestedReportIsSentWhateverTheServerIs) {
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    StartReportedDownload();
    ASSERT_TRUE(WaitUntil([&] { return receiver.Count() == 1; }, 20s));
    ReportFields fields = ParseReportFields(receiver.Received()[0]);
    EXPECT_EQ(FieldValue(fields, "pid"), "ime");
    EXPECT_EQ(FieldValue(fields, "type"), "1");
    EXPECT_EQ(FieldValue(fields, "fr"), "");
    EXPECT_EQ(FieldValue(fields, "rip"), "7F000001");
    EXPECT_EQ(FieldValue(fields, "cname"), "localhost");
    EXPECT_EQ(FieldValue(fields, "ldip1"), "7F000002");
    EXPECT_EQ(FieldValue(fields, "ldip2"), "7F000003");
    EXPECT_EQ(FieldValue(fields, "dsize"), "200000");
    EXPECT_EQ(FieldValue(fields, "hc"), "200");
    EXPECT_EQ(FieldValue(fields, "rtime"), "");
    EXPECT_EQ(FieldValue(fields, "usrip"), "");
    EXPECT_TRUE(
        std::regex_match(FieldValue(fields, "trace"), std::regex(R"(127\.0\.0\.1\[\d+\])")));
    EXPECT_EQ(FieldValue(fields, "url"),
              "http%3A%2F%2Flocalhost%3A" + std::to_string(server->Port()) + "%2Ffile%2Ebin");
    EXPECT_EQ(fields.back(), (std::pair<std::string, std::string>{"key", "end"}));
    EXPECT_EQ(ZvHttp::Uninit(), 0);
  }));
}

TEST_F(CdnReportExportsTest, ClosingTheWorkerEndsItsTraceAtOnce) {
  CSilentEchoes silent;
  ASSERT_TRUE(silent.ok);
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CIcmpRequestWatch requests;
    StartReportedDownload();
    WaitForSilentTrace(requests);
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 5s) << "Close waits up to 30 s";
    EXPECT_EQ(receiver.Count(), 0u);
    EXPECT_EQ(ZvHttp::Uninit(), 0);
  }));
  EXPECT_FALSE(log.Contains("thread can't be closed"));
}

TEST_F(CdnReportExportsTest, EndingTheFamilyEndsARunningTraceAtOnce) {
  CSilentEchoes silent;
  ASSERT_TRUE(silent.ok);
  ASSERT_TRUE(CReportNamespace::RunInside([&] {
    CIcmpRequestWatch requests;
    StartReportedDownload();
    WaitForSilentTrace(requests);
    const auto ending = std::chrono::steady_clock::now();
    EXPECT_EQ(ZvHttp::Uninit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - ending, 5s);
    EXPECT_EQ(receiver.Count(), 0u);
  }));
  EXPECT_FALSE(log.Contains("thread can't be closed"));
}
