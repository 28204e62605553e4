// Downloads by CHttpTask into memory and into files, against the scripted test server, with
// every message the task reports recorded in place of the service.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/win32/Event.h"
#include "tests/http/TaskRunner.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A private folder for the files of one test.
class HttpTaskDownload : public ::testing::Test {
 protected:
  std::wstring Path(const std::string& name) const { return folder.WidePath(name); }
  std::string Temporary(const std::string& name) const { return name + ".downloading"; }
  bool Exists(const std::string& name) const { return fs::exists(folder.Path(name)); }

  CTempFolder folder;
};

constexpr UINT kConnecting = WM_HTTPDOWNLOAD_CONNECTING;
constexpr UINT kConnected = WM_HTTPDOWNLOAD_CONNECTED;
constexpr UINT kStart = WM_HTTPDOWNLOAD_DOWNLOAD_START;
constexpr UINT kProgress = WM_HTTPDOWNLOAD_PROGRESS;
constexpr UINT kComplete = WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE;
constexpr UINT kRedirect = WM_HTTPDOWNLOAD_REDIRECT;
constexpr UINT kQuit = WM_HTTPDOWNLOAD_THREAD_QUIT;

// The ids with runs of progress messages folded into one.
std::vector<UINT> Shape(const std::vector<UINT>& ids) {
  std::vector<UINT> shape;
  for (UINT id : ids) {
    if (id == kProgress && !shape.empty() && shape.back() == kProgress) continue;
    shape.push_back(id);
  }
  return shape;
}

TEST_F(HttpTaskDownload, MemoryDownloadDeliversTheExactBodyAndMessagesInOrder) {
  CHttpTestServer server;
  const std::string content = TestBytes(5 * 1024 * 1024 + 123);
  server.Handle("/m", CHttpTestResource(content));
  CTaskRunner run;
  ASSERT_TRUE(run.StartMemory(HttpPar(server.Url("/m"))));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(Shape(run.MessageIds()),
            (std::vector<UINT>{kConnecting, kConnected, kStart, kProgress, kComplete, kQuit}));
  auto done = run.Completion();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->code, DOWNLOAD_OK);
  EXPECT_EQ(done->httpStatus, 200);
  EXPECT_TRUE(done->data == content);
  EXPECT_EQ(done->text.substr(0, 15), L"HTTP/1.1 200 OK");
  auto progress = run.Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_LE(progress.front().first, 32768u);
  EXPECT_EQ(progress.back().first, content.size());
  EXPECT_EQ(progress.back().second, content.size());
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GT(progress[i].first, progress[i - 1].first);
    EXPECT_LE(progress[i].first - progress[i - 1].first, 32768u);
  }
}

TEST_F(HttpTaskDownload, UnknownLengthEndsAtTheFirstEmptyRead) {
  CHttpTestServer server;
  HttpTestResponse response = HttpTestResponse::Text(200, TestBytes(100000));
  response.omitContentLength = true;
  server.Serve("/u", response);
  CTaskRunner run;
  ASSERT_TRUE(run.StartMemory(HttpPar(server.Url("/u"))));
  ASSERT_TRUE(run.WaitDone());
  ASSERT_TRUE(run.Completion());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  EXPECT_TRUE(run.Completion()->data == response.body);
  EXPECT_EQ(run.Progress().back().second, 0xFFFFFFFFu);
}

TEST_F(HttpTaskDownload, ShortBodyIsALengthMismatchAfterTwoAttempts) {
  CHttpTestServer server;
  HttpTestResponse lie = HttpTestResponse::Text(200, std::string(900, 'x'));
  lie.contentLength = 1000;
  server.Serve("/short", lie);
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/short")), Path("short")));
  ASSERT_TRUE(run.WaitDone());
  ASSERT_TRUE(run.Completion());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_LENGTH_MISMATCH);
  EXPECT_EQ(server.RequestCount(), 2u);
  EXPECT_EQ(run.Count(kConnected), 2u);
  EXPECT_FALSE(Exists(Temporary("short")));
  EXPECT_FALSE(Exists("short"));
}

TEST_F(HttpTaskDownload, LengthsBeyondFourGigabytesAreKeptWhole) {
  CHttpTestServer server;
  HttpTestResponse huge = HttpTestResponse::Text(200, std::string(70000, 'h'));
  huge.contentLength = 5ull << 30;
  server.Serve("/huge", huge);
  CTaskRunner run;
  ASSERT_TRUE(run.StartMemory(HttpPar(server.Url("/huge"))));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_LENGTH_MISMATCH);
  // The 32-bit progress field saturates below the "unknown" marker.
  EXPECT_EQ(run.Progress().front().second, 0xFFFFFFFEu);
}

TEST_F(HttpTaskDownload, ResumesFromThePartialTemporaryFileWith206) {
  CHttpTestServer server;
  const std::string content = TestBytes(3 * 1024 * 1024);
  server.Handle("/r", CHttpTestResource(content));
  const size_t held = 1234567;
  // Bytes past the offset in the temporary file are dropped before appending.
  folder.Write(Temporary("r"), content.substr(0, held) + "garbage");
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/r")), Path("r"), held));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  EXPECT_EQ(server.Requests()[0].Header("Range"), "bytes=1234567-");
  EXPECT_TRUE(folder.Read("r") == content);
  EXPECT_EQ(run.Progress().front().second, content.size());
  EXPECT_GT(run.Progress().front().first, held);
}

TEST_F(HttpTaskDownload, OffsetBeyondTheFileRestartsWithoutRange) {
  CHttpTestServer server;
  const std::string content = TestBytes(200000);
  server.Handle("/b", CHttpTestResource(content));
  folder.Write(Temporary("b"), content.substr(0, 100));
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/b")), Path("b"), 5000));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  EXPECT_FALSE(server.Requests()[0].HasHeader("Range"));
  EXPECT_TRUE(folder.Read("b") == content);
}

TEST_F(HttpTaskDownload, WholeBodyAnswerToARangeFailsAndRemovesTheTemporaryFile) {
  CHttpTestServer server;
  server.Serve("/ignores", HttpTestResponse::Text(200, TestBytes(5000)));
  folder.Write(Temporary("ignores"), TestBytes(2000));
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/ignores")), Path("ignores"), 1000));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
  EXPECT_FALSE(Exists(Temporary("ignores")));
  EXPECT_FALSE(Exists("ignores"));
}

TEST_F(HttpTaskDownload, RangeNotSatisfiableRetriesOnceWithoutRange) {
  const std::string content = TestBytes(50000);  // outlives the server's threads
  CHttpTestServer server;
  server.Handle("/416", [&](const HttpTestRequest& request) {
    if (request.HasHeader("Range")) return HttpTestResponse::Text(416, "");
    return HttpTestResponse::Text(200, content);
  });
  folder.Write(Temporary("416"), TestBytes(60000, 99));
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/416")), Path("416"), 60000));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].HasHeader("Range"));
  EXPECT_FALSE(requests[1].HasHeader("Range"));
  EXPECT_TRUE(folder.Read("416") == content);
}

TEST_F(HttpTaskDownload, PartialAnswersThatDoNotFitAreNeverAppended) {
  const std::string content = TestBytes(40000);  // outlives the server's threads
  CHttpTestServer server;
  // A partial answer that starts at 0 whatever was asked, then the whole body.
  server.Handle("/elsewhere", [&](const HttpTestRequest& request) {
    if (!request.HasHeader("Range")) return HttpTestResponse::Text(200, content);
    HttpTestResponse response = HttpTestResponse::Text(206, content);
    response.With("Content-Range", "bytes 0-39999/40000");
    return response;
  });
  // A short part: only 1000 bytes of what was asked each time.
  server.Handle("/short-part", [&](const HttpTestRequest& request) {
    unsigned long long from = 0;
    std::sscanf(request.Header("Range").c_str(), "bytes=%llu-", &from);
    size_t last = std::min<size_t>(from + 999, content.size() - 1);
    HttpTestResponse response = HttpTestResponse::Text(206, content.substr(from, last - from + 1));
    response.With("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(last) +
                                       "/" + std::to_string(content.size()));
    return response;
  });
  folder.Write(Temporary("elsewhere"), content.substr(0, 10000));
  CTaskRunner first;
  ASSERT_TRUE(first.StartFile(HttpPar(server.Url("/elsewhere")), Path("elsewhere"), 10000));
  ASSERT_TRUE(first.WaitDone());
  EXPECT_EQ(first.Completion()->code, DOWNLOAD_OK);
  EXPECT_TRUE(folder.Read("elsewhere") == content);

  folder.Write(Temporary("short"), content.substr(0, 38000));
  CTaskRunner second;
  ASSERT_TRUE(second.StartFile(HttpPar(server.Url("/short-part")), Path("short"), 38000));
  ASSERT_TRUE(second.WaitDone());
  // Each part lands where it belongs and the next attempt goes on from its end.
  EXPECT_EQ(second.Completion()->code, DOWNLOAD_OK);
  EXPECT_EQ(server.Requests().back().Header("Range"), "bytes=39000-");
  EXPECT_TRUE(folder.Read("short") == content);
}

TEST_F(HttpTaskDownload, NotModifiedKeepsTheDestinationAndSendsTheDateText) {
  CHttpTestServer server;
  const time_t modified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  server.Handle("/c", CHttpTestResource("new content", modified));
  folder.Write("c", "kept");
  SYSTEMTIME since{1994, 11, 0, 6, 8, 49, 37, 0};
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/c")), Path("c"), 777, &since));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_NOT_MODIFIED);
  auto request = server.Requests().at(0);
  EXPECT_EQ(request.Header("If-Modified-Since"), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_FALSE(request.HasHeader("Range"));  // a conditional fetch never resumes
  EXPECT_EQ(folder.Read("c"), "kept");
  EXPECT_FALSE(Exists(Temporary("c")));
}

TEST_F(HttpTaskDownload, ConditionalTimeOutOfRangeIsRefusedBeforeAnyTraffic) {
  CHttpTestServer server;
  server.Serve("/t", HttpTestResponse::Text(200, "x"));
  for (SYSTEMTIME bad :
       {SYSTEMTIME{2020, 13, 0, 1, 0, 0, 0, 0}, SYSTEMTIME{2020, 1, 0, 0, 0, 0, 0, 0},
        SYSTEMTIME{2020, 1, 0, 1, 24, 0, 0, 0}, SYSTEMTIME{2020, 1, 0, 1, 0, 60, 0, 0},
        SYSTEMTIME{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}}) {
    CTaskRunner run;
    EXPECT_FALSE(run.StartFile(HttpPar(server.Url("/t")), Path("t"), 0, &bad));
    ASSERT_TRUE(run.Completion());
    EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
  }
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(HttpTaskDownload, FinalStatusesGiveTheirCodes) {
  CHttpTestServer server;
  server.Serve("/404", HttpTestResponse::Text(404, "no"));
  server.Serve("/503", HttpTestResponse::Text(503, "busy"));
  server.Serve("/401", HttpTestResponse::Text(401, "who"));
  server.Serve("/500", HttpTestResponse::Text(500, "oops"));
  struct Case {
    const char* path;
    DOWNLOAD_ERRORCODE code;
  };
  for (Case c : {Case{"/404", DOWNLOAD_NOT_FOUND}, Case{"/503", DOWNLOAD_SERVER_ERROR},
                 Case{"/401", DOWNLOAD_FAILED}, Case{"/500", DOWNLOAD_FAILED}}) {
    CTaskRunner run;
    ASSERT_TRUE(run.StartMemory(HttpPar(server.Url(c.path))));
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.Completion()->code, c.code) << c.path;
    EXPECT_EQ(run.Count(WM_HTTPDOWNLOAD_AUTH_REQ), std::string(c.path) == "/401" ? 1u : 0u);
  }
  EXPECT_EQ(server.RequestCount(), 4u);  // none of them is tried twice
}

TEST_F(HttpTaskDownload, RedirectsAreFollowedByTheStandInOrByTheTask) {
  CHttpTestServer target;
  CHttpTestServer origin;
  target.Handle("/to", CHttpTestResource("arrived"));
  origin.Serve("/from", HttpTestResponse::Redirect(302, target.Origin() + "/to"));
  origin.Serve("/relative", HttpTestResponse::Redirect(302, "/to"));
  {
    CLogCapture log;
    CTaskRunner run;
    ASSERT_TRUE(run.StartMemory(HttpPar(origin.Url("/from"))));
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.Completion()->data, "arrived");
    EXPECT_EQ(run.Count(kRedirect), 0u);  // followed below the task
    EXPECT_TRUE(log.Contains("OnStatusCallback 302, new url is " + target.Origin() + "/to"));
  }
  {
    CTaskRunner run;
    ASSERT_TRUE(run.StartMemory(HttpPar(origin.Url("/from"), HTTPPAR_NO_AUTO_REDIRECT)));
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
    EXPECT_EQ(run.Completion()->data, "arrived");
    EXPECT_EQ(Shape(run.MessageIds()),
              (std::vector<UINT>{kConnecting, kConnected, kRedirect, kConnecting, kConnected,
                                 kStart, kProgress, kComplete, kQuit}));
    auto messages = run.Messages();
    EXPECT_EQ(messages[2].code, DOWNLOAD_REDIRECT);
    EXPECT_EQ(messages[2].text, target.Url("/to"));
    EXPECT_EQ(messages[2].httpStatus, 302);
  }
  {
    CTaskRunner run;
    ASSERT_TRUE(run.StartMemory(
        HttpPar(origin.Url("/from"), HTTPPAR_NO_AUTO_REDIRECT | HTTPPAR_STOP_ON_REDIRECT)));
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.Count(kRedirect), 1u);
    EXPECT_EQ(run.Completion()->code, DOWNLOAD_REDIRECT_REFUSED);
  }
  {
    CTaskRunner run;
    ASSERT_TRUE(run.StartMemory(HttpPar(origin.Url("/relative"), HTTPPAR_NO_AUTO_REDIRECT)));
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.Count(kRedirect), 0u);
    EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
  }
  EXPECT_EQ(target.RequestCount(), 2u);
}

TEST_F(HttpTaskDownload, CookiesHeadersAndReferrerReachTheServer) {
  CHttpTestServer server;
  server.Serve("/h", HttpTestResponse::Text(200, "ok"));
  tagDefHttpPar par = HttpPar(L"  \t" + server.Url("/h?x=1") + L"\r\n");
  par.cookies = {{L"session", L"abc"}, {L"lang", L"en"}};
  par.referrer = L"http://referrer.example/page";
  par.headers = L"X-One: 1\r\nX-Two: two\r\n";
  CTaskRunner run;
  ASSERT_TRUE(run.StartMemory(par));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  HttpTestRequest request = server.Requests().at(0);
  EXPECT_EQ(request.target, "/h?x=1");
  EXPECT_NE(request.Header("Cookie").find("session=abc"), std::string::npos);
  EXPECT_NE(request.Header("Cookie").find("lang=en"), std::string::npos);
  EXPECT_EQ(request.Header("Referer"), "http://referrer.example/page");
  EXPECT_EQ(request.Header("X-One"), "1");
  EXPECT_EQ(request.Header("X-Two"), "two");
  EXPECT_EQ(request.Header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)");
  EXPECT_EQ(request.Header("Pragma"), "no-cache");
}

TEST_F(HttpTaskDownload, DestinationThatCannotBeReplacedGetsTheFallbackNames) {
  CHttpTestServer server;
  server.Handle("/d", CHttpTestResource("fresh"));
  // A directory with something in it cannot be replaced by a file.
  fs::create_directories(folder.Path("P") / "x");
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/d")), Path("P")));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  EXPECT_EQ(folder.Read("P_(0)"), "fresh");
  EXPECT_TRUE(fs::is_directory(folder.Path("P") / "x")) << "the directory is left as it was";

  for (const char* name : {"P_(0)", "P_(0)_(1)", "P_(0)_(1)_(2)"}) {
    fs::remove_all(folder.Path(name));
    fs::create_directories(folder.Path(name) / "x");
  }
  CTaskRunner blocked;
  ASSERT_TRUE(blocked.StartFile(HttpPar(server.Url("/d")), Path("P")));
  ASSERT_TRUE(blocked.WaitDone());
  // Nowhere to put it: reported as a write failure, and the data is kept.
  EXPECT_EQ(blocked.Completion()->code, DOWNLOAD_WRITE_FAILED);
  EXPECT_EQ(folder.Read(Temporary("P")), "fresh");
}

TEST_F(HttpTaskDownload, StopBeforeRunPostsNothing) {
  CHttpTestServer server;
  server.Serve("/s", HttpTestResponse::Text(200, "never"));
  CTaskRunner run;
  run.StopBeforeRun();
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/s")), Path("s")));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_TRUE(run.Messages().empty());
  EXPECT_LT(run.StopToRunEnd(), 100ms);
  EXPECT_TRUE(Exists(Temporary("s")));
}

TEST_F(HttpTaskDownload, StopWhileConnectingToABlackHoleEndsAtOnce) {
  CBlackHoleListener hole;
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(hole.Url("/x")), Path("hole")));
  ASSERT_TRUE(run.WaitFor(kConnecting));
  EXPECT_FALSE(run.WaitDone(300ms));
  const size_t before = run.Messages().size();
  run.Stop();
  ASSERT_TRUE(run.WaitDone());
  EXPECT_LT(run.StopToRunEnd(), 100ms);
  EXPECT_EQ(run.Messages().size(), before);
  EXPECT_TRUE(Exists(Temporary("hole")));
}

TEST_F(HttpTaskDownload, StopMidBodyKeepsTheTemporaryFileForALaterResume) {
  // Declared before the server: its threads use them until it is gone.
  const std::string content = TestBytes(2 * 1024 * 1024);
  CEvent release(CEvent::ResetMode::kManual);
  CHttpTestServer server;
  server.Handle("/mid", CHttpTestResource(content));
  // The first answer stalls after half a megabyte until the test lets it go.
  server.Handle("/stall", [&](const HttpTestRequest&) {
    HttpTestResponse response;
    response.generatedLength = content.size();
    response.generator = [&](uint64_t offset, char* out, size_t length) {
      if (offset >= 512 * 1024) release.Wait(10000);
      std::memcpy(out, content.data() + offset, length);
    };
    return response;
  });
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/stall")), Path("mid")));
  ASSERT_TRUE(WaitUntil([&] { return run.Progress().size() >= 16; }));
  run.Stop();
  ASSERT_TRUE(run.WaitDone());
  EXPECT_LT(run.StopToRunEnd(), 100ms);
  const size_t after = run.Messages().size();
  EXPECT_FALSE(run.Completion());
  EXPECT_EQ(run.Count(kQuit), 0u);
  const uintmax_t held = fs::file_size(folder.Path(Temporary("mid")));
  // Everything reported before the stop is in the file; the server sent no more than 512 KiB.
  EXPECT_GE(held, run.Progress().back().first);
  EXPECT_LE(held, 512u * 1024u);
  EXPECT_EQ(run.Messages().size(), after);

  CTaskRunner resume;
  ASSERT_TRUE(
      resume.StartFile(HttpPar(server.Url("/mid")), Path("mid"), static_cast<uint32_t>(held)));
  ASSERT_TRUE(resume.WaitDone());
  EXPECT_EQ(resume.Completion()->code, DOWNLOAD_OK);
  EXPECT_TRUE(folder.Read("mid") == content);
  release.Set();
}

TEST_F(HttpTaskDownload, TimingIsMeasuredOnANewConnectionOnly) {
  CHttpTestServer server;
  server.Serve("/t", HttpTestResponse::Text(200, "t"));
  CTaskRunner first;
  ASSERT_TRUE(first.StartMemory(HttpPar(server.Url("/t"))));
  ASSERT_TRUE(first.WaitDone());
  CTaskRunner second;
  ASSERT_TRUE(second.StartMemory(HttpPar(server.Url("/t"))));
  ASSERT_TRUE(second.WaitDone());
  EXPECT_NE(first.Timing().nameResolution, CHttpTask::kNotMeasured);
  EXPECT_NE(first.Timing().connect, CHttpTask::kNotMeasured);
  EXPECT_NE(first.Timing().firstResponse, CHttpTask::kNotMeasured);
  // The second request rode the pooled connection.
  EXPECT_EQ(second.Timing().nameResolution, CHttpTask::kNotMeasured);
  EXPECT_EQ(second.Timing().connect, CHttpTask::kNotMeasured);
  EXPECT_NE(second.Timing().firstResponse, CHttpTask::kNotMeasured);
  EXPECT_EQ(server.ConnectionCount(), 1);
}

}  // namespace
