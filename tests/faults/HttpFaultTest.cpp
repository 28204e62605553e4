// Single transfers the randomised runs met going wrong, and requests too big for any sane
// server. A cut or contradictory answer is never a success, whether it goes to a file, to
// memory or answers an upload; every request ends with exactly one terminal callback.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/win32/StringConv.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

namespace {

class HttpFaultTest : public ::testing::Test {
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

  enum class Kind { kFile, kMemory, kUpload };

  // Runs one transfer of `par` and answers its one terminal event.
  HttpEvent Run(Kind kind, tagDefHttpPar par, const std::string& destination = {}) {
    static const std::string form = "form=1";
    int taskId = 0;
    auto* cb = CHttpCallbackLog::Callback;
    const long queued =
        kind == Kind::kFile ? ZvHttp::DownloadInFile(&par, Utf8ToWide(destination), cb, 20000,
                                                     &taskId, log.Param(), worker, false)
        : kind == Kind::kMemory
            ? ZvHttp::DownloadInMem(&par, cb, 20000, &taskId, log.Param(), worker)
            : ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(form.data()),
                             static_cast<unsigned>(form.size()), cb, 20000, &taskId, log.Param(),
                             worker);
    EXPECT_EQ(queued, 0);
    EXPECT_TRUE(PumpUntil([&] { return log.HasTerminal(taskId); }, 30s));
    EXPECT_EQ(log.TerminalCount(taskId), 1);
    return log.Terminal(taskId);
  }

  CTempFolder folder;
  std::string body;
  CHttpTestServer server;
  CHttpCallbackLog log;
  int worker = 0;
};

}  // namespace

TEST_F(HttpFaultTest, CutOrContradictoryAnswerIsNeverASuccess) {
  struct Case {
    std::string name;
    HttpTestResponse response;
  };
  std::vector<Case> cases;
  // A reset races the reads: several cut points make the one where a read waits likely.
  for (uint64_t cut = 1; cut < body.size(); cut += 29989) {
    HttpTestResponse reset = HttpTestResponse::Text(200, body);
    reset.closeAfterBodyBytes = cut;
    reset.resetOnClose = true;
    reset.delayBeforeBody = 30ms;  // the reader waits when the reset comes
    cases.push_back({"reset at " + std::to_string(cut), reset});
  }
  HttpTestResponse closed = HttpTestResponse::Text(200, body);
  closed.closeAfterBodyBytes = body.size() / 3;
  cases.push_back({"closed at a third", closed});
  HttpTestResponse twoLengths = HttpTestResponse::Text(200, body);
  twoLengths.With("Content-Length", std::to_string(body.size() / 2));
  cases.push_back({"two lengths", twoLengths});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.Serve("/broken", c.response);
    tagDefHttpPar par;
    par.url = server.Url("/broken");
    const std::string destination = folder.Path("broken").string();
    EXPECT_NE(Run(Kind::kFile, par, destination).code, DOWNLOAD_OK);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_NE(Run(Kind::kMemory, par).code, DOWNLOAD_OK);
    const HttpEvent answer = Run(Kind::kUpload, par);
    EXPECT_NE(answer.code, DOWNLOAD_OK) << answer.data.size() << " bytes";
    EXPECT_EQ(answer.data, body.substr(0, answer.data.size())) << "only what the server sent";
  }
}

TEST_F(HttpFaultTest, OversizedUrlFailsAndOversizedHeadersGoWhole) {
  server.Serve("/quick", HttpTestResponse::Text(200, "ok"));
  tagDefHttpPar par;
  par.url = server.Url("/quick") + L"?" + std::wstring(1 << 20, L'a');
  EXPECT_EQ(Run(Kind::kMemory, par).code, DOWNLOAD_FAILED);
  EXPECT_EQ(server.RequestCount(), 0u);

  par.url = server.Url("/quick");
  par.headers = L"X-Big: " + std::wstring(256 * 1024, L'h') + L"\r\n";
  for (int i = 0; i < 200; ++i) par.headers += L"X-Many-" + std::to_wstring(i) + L": v\r\n";
  par.referrer = std::wstring(64 * 1024, L'r');
  EXPECT_EQ(Run(Kind::kMemory, par).code, DOWNLOAD_OK);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("X-Big").size(), 256u * 1024);
  EXPECT_EQ(server.Requests()[0].Header("X-Many-199"), "v");
  EXPECT_EQ(server.Requests()[0].Header("Referer").size(), 64u * 1024);
}

// Refusals the family tests leave out; none draws an id or calls back.
TEST_F(HttpFaultTest, NullPointersAndUnknownIdsAreRefused) {
  tagDefHttpPar par;
  par.url = server.Url("/quick");
  int id = -1;
  auto* cb = CHttpCallbackLog::Callback;
  EXPECT_EQ(ZvHttp::DownloadInFile(nullptr, L"/tmp/x", cb, 1000, &id, 0, worker, false), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFile(&par, L"/tmp/x", cb, 1000, nullptr, 0, worker, false), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFileEx(nullptr, L"/tmp/x", nullptr, 0, cb, 1000, &id, 0, worker),
            E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFileEx(&par, L"/tmp/x", nullptr, 0, cb, 1000, nullptr, 0, worker),
            E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(nullptr, nullptr, 0, cb, 1000, &id, 0, worker), E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 0, cb, 1000, nullptr, 0, worker), E_FAIL);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(nullptr), 0);
  EXPECT_EQ(ZvHttp::StopTask(4242), E_FAIL);
  EXPECT_EQ(ZvHttp::StopTask(-1), E_FAIL);
  EXPECT_EQ(ZvHttp::CloseWorker(0), E_FAIL);
  EXPECT_EQ(log.Count(), 0u);
}
