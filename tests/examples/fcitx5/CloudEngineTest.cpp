// zvcloud inside a real fcitx5: an fcitx::Instance in this process with only the zvcloud addon
// enabled (loaded from the build tree as an installed fcitx5 loads it), an input context of the
// test's own, keys sent through fcitx5's public API, and the cloud and word-list servers on
// loopback in a network namespace of the test's own, whose default route the test takes away.
#include <fcitx/inputpanel.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/examples/fcitx5/FcitxThread.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tools/CloudCandidates.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "tools/UdpReferenceServer.h"

namespace {

constexpr char kWords[] = "nihaoma\nzhongwenzi\nabcdefg\n";
constexpr time_t kListTime = 1700000000;

// The user's folders of this process: fcitx5 reads them once, so every test shares them and
// clears what it uses.
const CTempFolder& Home() {
  static const CTempFolder home;
  static const bool set = [] {
    CFcitxThread::UseFolders(home.Root().string());
    return true;
  }();
  (void)set;
  return home;
}

std::filesystem::path WordListPath() {
  return Home().Path("data/fcitx5/zvcloud/words.txt");
}

// The text of every datagram request the cloud server received, in order.
class CPayloads {
 public:
  CUdpReferenceServer::Behaviour Recording(CUdpReferenceServer::Behaviour answer) {
    return [state = state, answer](const UdpServedRequest& request) {
      {
        std::lock_guard<std::mutex> hold(state->lock);
        state->payloads.push_back(request.payload);
      }
      return answer(request);
    };
  }
  std::vector<std::string> Get() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->payloads;
  }

 private:
  struct State {
    std::mutex lock;
    std::vector<std::string> payloads;
  };
  std::shared_ptr<State> state = std::make_shared<State>();  // shared with the server thread
};

class CloudEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddLinkPair("v0", "v1"));
    ASSERT_TRUE(ns.Ip("addr add 10.0.0.1/24 dev v0"));
    ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
    scope = std::make_unique<CNetNamespaceScope>(ns);
    ASSERT_TRUE(scope->IsEntered());
    // Everything from here on, fcitx5's thread included, lives in the namespace.
    http = std::make_unique<CHttpTestServer>();
    http->Handle("/words.txt", CHttpTestResource(kWords, kListTime));
    ASSERT_EQ(cloud.Start(), 0);
    Answer(CloudCandidates(0ms));
    std::filesystem::remove_all(WordListPath().parent_path());
    Configure(2000);
  }
  void TearDown() override {
    fcitx.reset();
    cloud.Stop();
    http.reset();
    scope.reset();
  }

  void Answer(CUdpReferenceServer::Behaviour answer) {
    cloud.SetBehaviour(payloads.Recording(std::move(answer)));
  }
  void Configure(int requestTimeoutMs) const {
    std::filesystem::create_directories(Home().Path("config/fcitx5/conf"));
    Home().Write("config/fcitx5/conf/zvcloud.conf",
                 "ServerHost=127.0.0.1\nServerPort=" + std::to_string(cloud.Port()) +
                     "\nRequestTimeout=" + std::to_string(requestTimeoutMs) +
                     "\nWordListUrl=" + http->Origin() + "/words.txt\n");
  }
  void StartFcitx() {
    fcitx = std::make_unique<CFcitxThread>();
    ASSERT_TRUE(fcitx->IsRunning());
    ASSERT_EQ(fcitx->InputMethod(), "zvcloud");
  }
  // The word list is in place with `content`, dated by the server's Last-Modified `time`
  // (the engine's last step, after which it has loaded the words).
  static bool WordListIs(const std::string& content, time_t time = kListTime) {
    return WaitUntil(
        [&] {
          struct stat info {};
          return CTempFolder::ReadPath(WordListPath()) == content &&
                 ::stat(WordListPath().c_str(), &info) == 0 && info.st_mtime == time;
        },
        20s);
  }
  static bool FirstCandidateIs(CFcitxThread& fcitx, const std::string& text) {
    return fcitx.WaitFor([&](CRecordingInputContext& ic) {
      const std::vector<std::string> candidates = ic.Candidates();
      return !candidates.empty() && candidates.front() == text;
    });
  }

  CNetNamespace ns;
  std::unique_ptr<CNetNamespaceScope> scope;
  std::unique_ptr<CHttpTestServer> http;
  CPayloads payloads;
  CUdpReferenceServer cloud;
  std::unique_ptr<CFcitxThread> fcitx;
};

TEST_F(CloudEngineTest, TypedKeysBringTheCloudCandidateFirstAndSpaceCommitsIt) {
  StartFcitx();
  ASSERT_TRUE(WordListIs(kWords));  // fetched at the start
  EXPECT_TRUE(fcitx->Type({"n", "i", "h", "a", "o"}));
  ASSERT_TRUE(FirstCandidateIs(*fcitx, "你好"));
  // The cloud's candidate, the typed text, then the word list's completions.
  EXPECT_EQ(fcitx->Candidates(), (std::vector<std::string>{"你好", "nihao", "nihaoma"}));
  EXPECT_TRUE(fcitx->Type({"space"}));
  EXPECT_EQ(fcitx->Commits(), std::vector<std::string>{"你好"});
  EXPECT_TRUE(fcitx->Candidates().empty());
  EXPECT_FALSE(fcitx->Type({"space"}));  // nothing typed: the key is the application's
}

TEST_F(CloudEngineTest, ASlowAnswerOvertakenByANewerKeyIsNeverShown) {
  // "a" is answered late, "ab" at once, "abc" later than "a": once "abc"'s answer is shown,
  // "a"'s (sent before it on the same path) has reached the engine too.
  Answer([](const UdpServedRequest& request) {
    std::vector<UdpReplyPlan> replies = CloudCandidates(0ms)(request);
    for (UdpReplyPlan& reply : replies) {
      reply.delay = request.payload == "a" ? 1000ms : request.payload == "abc" ? 1500ms : 0ms;
    }
    return replies;
  });
  StartFcitx();
  EXPECT_TRUE(fcitx->Type({"a"}));
  ASSERT_TRUE(WaitUntil([&] { return payloads.Get().size() == 1; }, 20s));  // "a" is out
  EXPECT_TRUE(fcitx->Type({"b"}));
  ASSERT_TRUE(FirstCandidateIs(*fcitx, "Ab"));
  EXPECT_TRUE(fcitx->Type({"c"}));
  ASSERT_TRUE(FirstCandidateIs(*fcitx, "Abc"));
  EXPECT_EQ(payloads.Get(), (std::vector<std::string>{"a", "ab", "abc"}));
  for (const std::vector<std::string>& shown : fcitx->Shown()) {
    EXPECT_EQ(std::find(shown.begin(), shown.end(), "A"), shown.end()) << "a stale answer shown";
  }
  EXPECT_TRUE(fcitx->Type({"space"}));
  EXPECT_EQ(fcitx->Commits(), std::vector<std::string>{"Abc"});
}

TEST_F(CloudEngineTest, WithoutAnAnswerTheTypedTextIsCommitted) {
  Answer([](const UdpServedRequest&) { return std::vector<UdpReplyPlan>(); });
  Configure(300);
  StartFcitx();
  EXPECT_TRUE(fcitx->Type({"x", "y", "z"}));
  ASSERT_TRUE(fcitx->WaitFor([](CRecordingInputContext& ic) {
    return ic.inputPanel().auxDown().toString() == "no cloud answer";
  }));
  EXPECT_EQ(fcitx->Candidates(), std::vector<std::string>{"xyz"});
  EXPECT_TRUE(fcitx->Type({"space"}));
  EXPECT_EQ(fcitx->Commits(), std::vector<std::string>{"xyz"});
  ASSERT_FALSE(payloads.Get().empty());
  EXPECT_EQ(payloads.Get().back(), "xyz");  // asked, never answered
}

TEST_F(CloudEngineTest, TheWordListIsAskedForIfModifiedOnLaterStartsAndACutOneIsResumed) {
  StartFcitx();
  ASSERT_TRUE(WordListIs(kWords));
  fcitx.reset();
  StartFcitx();
  ASSERT_TRUE(http->WaitForRequests(2, 20s));
  fcitx.reset();
  // A fetch cut after 7 bytes left its part; the file itself is gone.
  std::filesystem::remove(WordListPath());
  CTempFolder::WritePath(WordListPath().string() + ".downloading", std::string(kWords, 7));
  StartFcitx();
  ASSERT_TRUE(WordListIs(kWords));
  const std::vector<HttpTestRequest> requests = http->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Header("If-Modified-Since"), "");
  EXPECT_EQ(requests[1].Header("If-Modified-Since"), CHttpTestResource::FormatHttpDate(kListTime));
  EXPECT_EQ(requests[2].Header("Range"), "bytes=7-");
}

TEST_F(CloudEngineTest, OfflineNothingIsSentAndTheWordListIsFetchedAgainOnReturn) {
  StartFcitx();
  ASSERT_TRUE(WordListIs(kWords));
  ASSERT_TRUE(ns.Ip("route del default"));
  ASSERT_TRUE(WaitUntil([&] { return fcitx->SubModeLabel() == "offline"; }, 30s));
  const std::string newWords = std::string(kWords) + "abcdxyz\n";
  http->Handle("/words.txt", CHttpTestResource(newWords, kListTime + 3600));
  EXPECT_TRUE(fcitx->Type({"a", "b", "c"}));
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(WaitUntil([&] { return fcitx->SubModeLabel().empty(); }, 30s));
  ASSERT_TRUE(WordListIs(newWords, kListTime + 3600));
  // The datagrams of one channel arrive in order: had the offline keys sent any, they would
  // be there before this one's.
  EXPECT_TRUE(fcitx->Type({"d"}));
  ASSERT_TRUE(FirstCandidateIs(*fcitx, "Abcd"));
  EXPECT_EQ(payloads.Get(), std::vector<std::string>{"abcd"});
  EXPECT_EQ(fcitx->Candidates(), (std::vector<std::string>{"Abcd", "abcd", "abcdefg", "abcdxyz"}));
}

}  // namespace
