// Single transfers cut by the server in ways the randomised runs met: a reset in the middle of
// the body, and two Content-Length headers that disagree. Neither may end as a success with
// the wrong bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/StringConv.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

namespace {

class BrokenTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    body.resize(300000);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  }
  void TearDown() override {
    ZvHttp::CloseWorker(worker);
    ZvHttp::Uninit();
  }

  // Queues with `queue`, waits for the end, and checks that exactly one end came.
  template <typename Queue>
  HttpEvent RunOne(Queue queue) {
    int taskId = 0;
    EXPECT_EQ(queue(&taskId), 0);
    EXPECT_TRUE(PumpUntil([&] { return log.HasTerminal(taskId); }, 20s));
    EXPECT_EQ(log.TerminalCount(taskId), 1);
    return log.Terminal(taskId);
  }

  HttpEvent DownloadToFile(const std::string& path, const std::string& destination) {
    return RunOne([&](int* taskId) {
      tagDefHttpPar par;
      par.url = server.Url(path);
      return ZvHttp::DownloadInFile(&par, Utf8ToWide(destination), CHttpCallbackLog::Callback,
                                    20000, taskId, log.Param(), worker, false);
    });
  }

  HttpEvent DownloadToMemory(const std::string& path) {
    return RunOne([&](int* taskId) {
      tagDefHttpPar par;
      par.url = server.Url(path);
      return ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, 20000, taskId, log.Param(),
                                   worker);
    });
  }

  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  CTempFolder folder;
  std::string body;
  CHttpTestServer server;
  CHttpCallbackLog log;
  int worker = 0;
};

}  // namespace

TEST_F(BrokenTransferTest, ResetInTheBodyIsAFailureNeverAFileOfStaleBytes) {
  // The reset races the reads: several cut points make the one where a read is waiting likely.
  for (uint64_t cut = 1; cut < body.size(); cut += 29989) {
    HttpTestResponse reset = HttpTestResponse::Text(200, body);
    reset.closeAfterBodyBytes = cut;
    reset.resetOnClose = true;
    reset.delayBeforeBody = 30ms;  // the reader waits when the reset comes
    server.Serve("/reset", reset);
    const std::string destination = folder.Path("reset").string();
    const HttpEvent end = DownloadToFile("/reset", destination);
    EXPECT_NE(end.code, DOWNLOAD_OK) << "cut at " << cut;
    EXPECT_FALSE(Exists(destination)) << "cut at " << cut;
    EXPECT_FALSE(Exists(destination + ".downloading"));

    const HttpEvent inMemory = DownloadToMemory("/reset");
    EXPECT_NE(inMemory.code, DOWNLOAD_OK) << "cut at " << cut;
  }
}

TEST_F(BrokenTransferTest, UploadAnswerCutByResetIsNotDeliveredAsWhole) {
  HttpTestResponse reset = HttpTestResponse::Text(200, body);
  reset.closeAfterBodyBytes = 100000;
  reset.resetOnClose = true;
  server.Serve("/post", reset);
  const std::string data = "form=1";
  const HttpEvent end = RunOne([&](int* taskId) {
    tagDefHttpPar par;
    par.url = server.Url("/post");
    return ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<unsigned>(data.size()), CHttpCallbackLog::Callback, 20000,
                          taskId, log.Param(), worker);
  });
  // Whatever the code, an answer handed over is a prefix of what the server sent.
  EXPECT_LE(end.data.size(), 100000u);
  EXPECT_EQ(end.data, body.substr(0, end.data.size()));
}

TEST_F(BrokenTransferTest, ConflictingContentLengthsAreRefused) {
  HttpTestResponse twoLengths = HttpTestResponse::Text(200, body);
  twoLengths.With("Content-Length", std::to_string(body.size() / 2));
  server.Serve("/two-lengths", twoLengths);
  const std::string destination = folder.Path("two-lengths").string();
  const HttpEvent end = DownloadToFile("/two-lengths", destination);
  EXPECT_NE(end.code, DOWNLOAD_OK);
  EXPECT_FALSE(Exists(destination));

  const HttpEvent inMemory = DownloadToMemory("/two-lengths");
  EXPECT_NE(inMemory.code, DOWNLOAD_OK);
}
