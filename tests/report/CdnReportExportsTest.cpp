// Reports of file downloads through the ZvHttp exports: a report asked for is sent whatever the
// server is, and closing the worker or ending the family ends a running trace at once.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/report/ReportedDownloadTest.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/IcmpRequestWatch.h"
#include "tests/support/NetSysctl.h"
#include "tests/support/Pump.h"
#include "tests/support/ReportFields.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

namespace {

// One requesting thread that pumps its messages, in the process's own namespace.
class CdnReportExportsTest : public ReportedDownloadTest {
 protected:
  // Starts the family, a worker, the server, the receiver, and one file download asking for
  // the report of a server that names other software; waits for its completion callback.
  void StartReportedDownload() {
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
    server = std::make_unique<CHttpTestServer>();  // made here, its socket in the namespace
    server->Serve("/file.bin", File("nginx"));
    StartReceiver();
    tagDefHttpPar par;
    par.url = server->Url("/file.bin", "localhost");
    ASSERT_EQ(ZvHttp::DownloadInFile(&par, path, CHttpCallbackLog::Callback, 20000, &taskId,
                                     callbacks.Param(), worker, /*reportType=*/true),
              0);
    ASSERT_TRUE(PumpUntil([&] { return callbacks.HasTerminal(taskId); }, 20s));
    ASSERT_EQ(callbacks.Terminal(taskId).code, DOWNLOAD_OK);
  }

  int worker = 0;
  int taskId = 0;
  std::unique_ptr<CHttpTestServer> server;
  CHttpCallbackLog callbacks;
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
    // The task-level tests check the report key by key; here what the export adds.
    ReportFields fields = ParseReportFields(receiver.Received()[0]);
    EXPECT_EQ(FieldValue(fields, "type"), "1");
    EXPECT_EQ(FieldValue(fields, "fr"), "");
    EXPECT_EQ(FieldValue(fields, "ldip2"), "7F000003");
    EXPECT_EQ(FieldValue(fields, "url"),
              "http%3A%2F%2Flocalhost%3A" + std::to_string(server->Port()) + "%2Ffile%2Ebin");
    EXPECT_EQ(ZvHttp::Uninit(), 0);
  }));
}

// A silent trace would hold the worker for two minutes; closing the worker, or ending the
// family with the worker still open, ends it at once and sends nothing.
TEST_F(CdnReportExportsTest, ClosingTheWorkerOrEndingTheFamilyEndsARunningTraceAtOnce) {
  CSilentEchoes silent;
  ASSERT_TRUE(silent.ok);
  for (bool closeWorker : {true, false}) {
    SCOPED_TRACE(closeWorker ? "CloseWorker" : "Uninit");
    ASSERT_TRUE(CReportNamespace::RunInside([&] {
      CIcmpRequestWatch requests;
      StartReportedDownload();
      ASSERT_TRUE(WaitUntil([&] { return requests.Count() >= 2; }, 20s)) << "the trace runs";
      const auto ending = std::chrono::steady_clock::now();
      EXPECT_EQ(closeWorker ? ZvHttp::CloseWorker(worker) : ZvHttp::Uninit(), 0);
      EXPECT_LT(std::chrono::steady_clock::now() - ending, 5s) << "Close waits up to 30 s";
      EXPECT_EQ(receiver.Count(), 0u);
      if (closeWorker) {
        EXPECT_EQ(ZvHttp::Uninit(), 0);
      }
    }));
  }
  EXPECT_FALSE(log.Contains("thread can't be closed"));
}
