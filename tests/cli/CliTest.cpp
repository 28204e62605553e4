// The zvnet command as a user runs it: processes with arguments, exit statuses, output, files.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "http/CdnReportCipher.h"
#include "tests/cli/CommandProcess.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

const std::string kZvnet = ZVNET_COMMAND;

std::string RandomContent(size_t size) {
  std::mt19937 rng(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

uint64_t FileSize(const std::string& path) {
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// The "127.0.0.1:<port>" a serving command prints once it listens; empty when it never does.
std::string ServedAddress(CCommandProcess& process) {
  std::smatch match;
  std::string banner;
  if (!WaitUntil([&] {
        banner = process.Stdout();
        return std::regex_search(banner, match, std::regex("127\\.0\\.0\\.1:\\d+"));
      })) {
    return "";
  }
  return match[0].str();
}

class CliTest : public ::testing::Test {
 protected:
  std::string Url(const std::string& path) const { return server.Origin() + path; }
  std::string At(const std::string& name) const { return folder.Path(name).string(); }

  CHttpTestServer server;
  CTempFolder folder;
};

}  // namespace

TEST_F(CliTest, GetWritesTheFileAndReportsProgressAsPlainLines) {
  const std::string content = RandomContent(3 << 20);
  server.Handle("/file.bin", CHttpTestResource(content));
  const auto result = RunCommand({kZvnet, "get", Url("/file.bin"), "-o", At("out.bin")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(folder.Read("out.bin"), content);
  EXPECT_NE(result.err.find("/file.bin"), std::string::npos) << "no progress line: " << result.err;
  EXPECT_EQ(result.err.find("\r"), std::string::npos) << "redraws when not a terminal";

  const auto toMemory = RunCommand({kZvnet, "get", "-q", Url("/file.bin")});
  ASSERT_EQ(toMemory.status, 0) << toMemory.err;
  EXPECT_EQ(toMemory.out, content) << "the body goes to standard output";
}

TEST_F(CliTest, ResumeContinuesAnInterruptedRun) {
  const auto content = std::make_shared<const std::string>(RandomContent(4 << 20));
  // Whole answers trickle, so the first run can be interrupted; ranged ones come at once.
  // The server still trickles to the interrupted run after the test body returns, so the
  // handler and its generator own what they serve.
  server.Handle("/big.bin",
                [content, resource = CHttpTestResource(*content)](const HttpTestRequest& request) {
                  if (request.HasHeader("Range")) return resource(request);
                  HttpTestResponse response;
                  response.generatedLength = content->size();
                  response.generator = [content](uint64_t offset, char* out, size_t length) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    std::copy_n(content->data() + offset, length, out);
                  };
                  return response;
                });
  const std::string path = At("big.bin");
  CCommandProcess first({kZvnet, "get", "-q", Url("/big.bin"), "-o", path});
  ASSERT_TRUE(WaitUntil([&] { return FileSize(path + ".downloading") >= 256 * 1024; }, 30s));
  first.Signal(SIGINT);
  EXPECT_EQ(first.Wait(), 1);
  EXPECT_NE(first.Stderr().find("interrupted"), std::string::npos);
  const uint64_t kept = FileSize(path + ".downloading");
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, content->size());

  const auto second = RunCommand({kZvnet, "get", "-q", "--resume", Url("/big.bin"), "-o", path});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(folder.Read("big.bin"), *content);
  const auto requests = server.Requests();
  EXPECT_EQ(requests.back().Header("Range"), "bytes=" + std::to_string(kept) + "-");
}

TEST_F(CliTest, ConditionalFetchOfAnUnchangedResourceExitsNotModified) {
  const time_t modified = 1764576000;  // 2025-12-01 08:00:00 UTC
  server.Handle("/page", CHttpTestResource("new content", modified));
  const std::string path = At("page");
  folder.Write("page", "old content");
  const auto result = RunCommand({kZvnet, "get", "-q", Url("/page"), "-o", path,
                                  "--if-modified-since", "2025-12-01T08:00:00"});
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_EQ(folder.Read("page"), "old content");
  EXPECT_EQ(server.Requests()[0].Header("If-Modified-Since"), "Mon, 01 Dec 2025 08:00:00 GMT");
}

TEST_F(CliTest, DistinctStatusesForEachKindOfFailure) {
  server.Serve("/x", HttpTestResponse::Text(200, "x"));
  CBlackHoleListener blackHole;  // nothing there ever answers
  const std::string silent = "http://127.0.0.1:" + std::to_string(blackHole.Port());
  const struct {
    std::vector<std::string> args;
    int status;
    bool oneLine;  // the error is exactly one "zvnet: ..." line
  } cases[] = {
      {{kZvnet, "get", "-q", Url("/missing")}, 4, false},
      {{kZvnet, "get", "-q", "--timeout", "1", silent + "/"}, 5, false},
      {{kZvnet, "get", "-q", "not a url"}, 1, true},
      {{kZvnet, "get", "-q", "--proxy", "ftp://h:1", Url("/x")}, 2, true},
      {{kZvnet, "fetch"}, 2, false},
      {{kZvnet, "get"}, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    const auto result = RunCommand(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (c.oneLine) {
      EXPECT_TRUE(std::regex_match(result.err, std::regex("zvnet: [^\n]*\n"))) << result.err;
    }
  }
  // A proxy that never answers fails the request instead of being gone around.
  const size_t requestsBefore = server.RequestCount();
  const auto viaProxy =
      RunCommand({kZvnet, "get", "-q", "--timeout", "3", "--proxy", silent, Url("/x")});
  EXPECT_NE(viaProxy.status, 0);
  EXPECT_EQ(server.RequestCount(), requestsBefore) << "went around the proxy";

  const auto help = RunCommand({kZvnet, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("5 time-out"), std::string::npos);
}

TEST_F(CliTest, PostPrintsTheAnswerAndReachableProbes) {
  server.Handle("/echo", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "got " + std::to_string(request.body.size()) + " bytes");
  });
  const auto post = RunCommand({kZvnet, "post", Url("/echo"), "--data", "twelve bytes"});
  EXPECT_EQ(post.status, 0) << post.err;
  EXPECT_EQ(post.out, "got 12 bytes");

  EXPECT_EQ(RunCommand({kZvnet, "reachable", Url("/")}).status, 0);
  EXPECT_EQ(RunCommand({kZvnet, "reachable", "http://127.0.0.1:1/"}).status, 1);
}

TEST(CliUdpTest, UdpExchangesWithUdpServe) {
  CCommandProcess serve({kZvnet, "udp-serve"});
  const std::string address = ServedAddress(serve);
  ASSERT_FALSE(address.empty()) << serve.Stdout();
  for (const char* channel : {"duplex", "sendrecv"}) {
    const auto reply = RunCommand({kZvnet, "udp", address, "ping", "--channel", channel});
    EXPECT_EQ(reply.status, 0) << channel << ": " << reply.err;
    EXPECT_EQ(reply.out, "ping\n");
  }
  const auto oneShot = RunCommand({kZvnet, "udp", address, "once", "--one-shot"});
  EXPECT_EQ(oneShot.status, 0) << oneShot.err;
  EXPECT_EQ(oneShot.out, "once\n");
  const auto sendOnly =
      RunCommand({kZvnet, "udp", address, "x", "--channel", "send", "--timeout", "300"});
  EXPECT_EQ(sendOnly.status, 5) << "a send channel never reads a reply";
  serve.Signal(SIGINT);
  EXPECT_EQ(serve.Wait(), 0);
  EXPECT_NE(serve.Stdout().find("4 requests served"), std::string::npos) << serve.Stdout();
}

TEST(CliDemoTest, DemoShowsEveryStepWorking) {
  const auto demo = RunCommand({kZvnet, "demo"}, 120s);
  EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_TRUE(std::regex_search(demo.out, std::regex("(\\d+) of \\1 steps worked"))) << demo.out;
}

TEST(CliReportTest, ReportServeOpensAndPrintsEachReport) {
  CCommandProcess receiver({kZvnet, "report-serve"});
  const std::string address = ServedAddress(receiver);
  ASSERT_FALSE(address.empty()) << receiver.Stdout();
  const std::wstring query = L"pid=ime&type=0&fr=&url=http%3A%2F%2Fh%2F\u00e9&key=end";
  std::string sealed;
  ASSERT_EQ(SealCdnReport(query, &sealed), ReportSealResult::kSealed);
  // Sent as the library sends it: a GET of the sealed text after "ver=0&".
  const auto sent =
      RunCommand({kZvnet, "get", "-q", "http://" + address + "/downloadComplete?ver=0&" + sealed});
  EXPECT_EQ(sent.status, 0) << sent.err;
  ASSERT_TRUE(WaitUntil([&] { return receiver.Stdout().find("key=end") != std::string::npos; }));
  EXPECT_NE(receiver.Stdout().find("pid=ime&type=0&fr=&url=http%3A%2F%2Fh%2F\xC3\xA9&key=end\n"),
            std::string::npos)
      << receiver.Stdout();
  receiver.Signal(SIGINT);
  EXPECT_EQ(receiver.Wait(), 0);
  EXPECT_NE(receiver.Stdout().find("1 reports received"), std::string::npos) << receiver.Stdout();
}
