#include "tests/http/HttpExportsFixture.h"

#include <thread>

std::string HttpExportsTest::QuickBody() {
  std::string body(kQuickSize, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 253);
  return body;
}

void HttpExportsTest::SetUp() {
  server.Serve("/quick", HttpTestResponse::Text(200, QuickBody()));
  HttpTestResponse hang;
  hang.neverAnswer = true;
  server.Serve("/hang", hang);
  HttpTestResponse pause;
  pause.generatedLength = 4 * kPauseAfter;
  pause.generator = [release = releasePause](uint64_t offset, char* out, size_t length) {
    // Bounded, so a server left waiting still shuts down.
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (offset >= kPauseAfter && !*release && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(5ms);
    }
    for (size_t i = 0; i < length; ++i) out[i] = 'p';
  };
  server.Serve("/pause", pause);
  ASSERT_EQ(ZvHttp::Init(), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
}

void HttpExportsTest::TearDown() {
  *releasePause = true;
  if (initialised) ZvHttp::Uninit();
}

long HttpExportsTest::Fetch(const std::wstring& url, CHttpCallbackLog& log, unsigned timeoutMs,
                            int* taskId, int onWorker) {
  tagDefHttpPar par;
  par.url = url;
  return Fetch(par, log, timeoutMs, taskId, onWorker);
}

long HttpExportsTest::Fetch(tagDefHttpPar par, CHttpCallbackLog& log, unsigned timeoutMs,
                            int* taskId, int onWorker) {
  return ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeoutMs, taskId, log.Param(),
                               onWorker ? onWorker : worker);
}

long HttpExportsTest::FetchFile(const std::wstring& url, const std::wstring& path,
                                CHttpCallbackLog& log, int* taskId, unsigned long offset,
                                SYSTEMTIME* since) {
  tagDefHttpPar par;
  par.url = url;
  return ZvHttp::DownloadInFileEx(&par, path, since, offset, CHttpCallbackLog::Callback, 20000,
                                  taskId, log.Param(), worker);
}

HttpEvent HttpExportsTest::FetchAndWait(tagDefHttpPar par, CHttpCallbackLog& log) {
  int id = 0;
  EXPECT_EQ(Fetch(par, log, 20000, &id), 0);
  EXPECT_TRUE(PumpUntilDone(log, id));
  return log.Terminal(id);
}

bool HttpExportsTest::PumpUntilDone(const CHttpCallbackLog& log, int taskId,
                                    std::chrono::milliseconds deadline) {
  return PumpUntil([&] { return log.HasTerminal(taskId); }, deadline);
}

HttpEvent HttpExportsTest::FetchAndWait(const std::wstring& url, CHttpCallbackLog& log) {
  tagDefHttpPar par;
  par.url = url;
  return FetchAndWait(par, log);
}
