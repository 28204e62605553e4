// The zvnet command as a user runs it: processes with arguments, exit statuses, output, files.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "http/CdnReportCipher.h"
#include "tests/cli/CommandProcess.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/Pump.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificateAuthority.h"
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

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

TEST_F(CliTest, DistinctStatusesForEachKindOfFailureAndALineThatSaysWhy) {
  server.Serve("/x", HttpTestResponse::Text(200, "x"));
  CBlackHoleListener blackHole;  // nothing there ever answers
  const std::string silent = "http://127.0.0.1:" + std::to_string(blackHole.Port());
  CTestCertificateAuthority ca;
  CTestCertificateAuthority stranger("not trusted");
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());  // the command inherits it
  CHttpTestServer untrusted(stranger.Issue({"127.0.0.1"}));
  CHttpTestServer otherName(ca.Issue({"elsewhere.test"}));
  const std::string port = std::to_string(FreeLoopbackPort());
  const std::string refused = "http://127.0.0.1:" + port + "/x";
  // A label over 63 characters cannot go into a DNS query: it fails without leaving the machine.
  const std::string unresolvable = "http://" + std::string(70, 'a') + ".invalid/x";
  const std::string unwritable = At("none/x");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string line;  // when given, standard error is exactly this one line
  } cases[] = {
      {{kZvnet, "get", "-q", Url("/missing")}, 4, ""},
      {{kZvnet, "get", "-q", "--timeout", "1", silent + "/"}, 5, ""},
      {{kZvnet, "get", "-q", "not a url"}, 1, "zvnet: not a url: bad URL\n"},
      {{kZvnet, "get", "-q", "--proxy", "ftp://h:1", Url("/x")},
       2,
       "zvnet: proxy \"ftp://h:1\" must start with http://, socks5:// or system://\n"},
      {{kZvnet, "get", "-q", refused},
       1,
       "zvnet: " + refused + ": cannot connect to 127.0.0.1 port " + port +
           ": connection refused\n"},
      {{kZvnet, "get", "-q", unresolvable}, 1, "zvnet: " + unresolvable + ": host not found\n"},
      {{kZvnet, "get", "-q", untrusted.Origin() + "/x"},
       1,
       "zvnet: " + untrusted.Origin() + "/x: TLS certificate not trusted\n"},
      {{kZvnet, "get", "-q", otherName.Origin() + "/x"},
       1,
       "zvnet: " + otherName.Origin() + "/x: TLS certificate does not match the host name\n"},
      {{kZvnet, "get", "-q", Url("/x"), "-o", unwritable},
       1,
       "zvnet: " + Url("/x") + ": cannot write " + unwritable + ": No such file or directory\n"},
      {{kZvnet, "get", "-q", "--proxy", "http://127.0.0.1:" + port, Url("/x")},
       1,
       "zvnet: " + Url("/x") + ": cannot reach the proxy\n"},
      {{kZvnet, "post", refused, "--data", "d"},
       1,
       "zvnet: " + refused + ": cannot connect to 127.0.0.1 port " + port +
           ": connection refused\n"},
      {{kZvnet, "fetch"}, 2, ""},
      {{kZvnet, "get"}, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[c.args.size() > 3 ? 3 : c.args.size() - 1]);
    const auto result = RunCommand(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (!c.line.empty()) {
      EXPECT_EQ(result.err, c.line);
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

// Same-named files of several URLs get names of their own, "-o DIR/" makes the folder, and
// the command says which name went where.
TEST_F(CliTest, SameNamedUrlsGetTheirOwnFilesInAFolderMadeForThem) {
  const std::string a = RandomContent(2 << 20);
  const std::string b = std::string(a.rbegin(), a.rend());
  server.Handle("/A/data.bin", CHttpTestResource(a));
  server.Handle("/B/data.bin", CHttpTestResource(b));
  for (const std::string& output : {At(""), At("new/sub/")}) {
    SCOPED_TRACE(output);
    const auto result = RunCommand({kZvnet, "get", "-q", "--workers", "2", Url("/A/data.bin"),
                                    Url("/B/data.bin"), "-o", output});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::filesystem::path folder = output;
    EXPECT_TRUE(ReadFile(folder / "data.bin") == a);
    EXPECT_TRUE(ReadFile(folder / "data.1.bin") == b);
    EXPECT_NE(result.err.find("saving as " + (folder / "data.1.bin").string()), std::string::npos)
        << result.err;
  }
}

// Nothing a server sends reaches the terminal as a control sequence.
TEST_F(CliTest, RedirectTargetIsPrintedEscaped) {
  server.Serve("/jump", HttpTestResponse::Redirect(302, Url("/\x1b]0;owned\x07\x1b[2J")));
  const auto result = RunCommand({kZvnet, "get", "--no-auto-redirect", Url("/jump")});
  EXPECT_NE(result.err.find("redirected to " + Url("/\\x1b]0;owned\\x07\\x1b[2J") + "\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(result.err.find('\x07'), std::string::npos);
}

TEST(CliVersionTest, VersionAndTheInstalledDocsCoverEveryOption) {
  const auto version = RunCommand({kZvnet, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "zvnet " ZVNET_VERSION "\n");
  const std::string man = ReadFile(ZVNET_DOCS_DIR "/zvnet.1");
  const std::string completion = ReadFile(ZVNET_DOCS_DIR "/zvnet.bash");
  // Every subcommand and option that --help shows, in both.
  const std::string top = RunCommand({kZvnet, "--help"}).out;
  std::set<std::string> commands;
  const std::regex commandLine("\n  ([a-z][a-z-]+) ");
  for (std::sregex_iterator it(top.begin(), top.end(), commandLine), end; it != end; ++it) {
    commands.insert((*it)[1]);
  }
  ASSERT_TRUE(commands.count("get") && commands.count("report-serve")) << top;
  std::vector<std::string> helps = {top};
  for (const std::string& command : commands) {
    EXPECT_NE(man.find("zvnet " + command), std::string::npos) << command;
    EXPECT_NE(completion.find(command + ") words="), std::string::npos) << command;
    helps.push_back(RunCommand({kZvnet, command, "--help"}).out);
  }
  const std::regex option("--[a-z][a-z-]+");
  for (const std::string& help : helps) {
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
      const std::string name = it->str();
      EXPECT_NE(completion.find(" " + name), std::string::npos) << name;
      std::string roff;  // the manual writes each hyphen as \-
      for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
      EXPECT_NE(man.find(roff), std::string::npos) << name;
    }
  }
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
  const std::wstring query =
      L"pid=ime&type=0&fr=&url=http%3A%2F%2Fh%2F\u00e9&esc=\x1b[2J\u009b1m&key=end";
  std::string sealed;
  ASSERT_EQ(SealCdnReport(query, &sealed), ReportSealResult::kSealed);
  // Sent as the library sends it: a GET of the sealed text after "ver=0&".
  const auto sent =
      RunCommand({kZvnet, "get", "-q", "http://" + address + "/downloadComplete?ver=0&" + sealed});
  EXPECT_EQ(sent.status, 0) << sent.err;
  ASSERT_TRUE(WaitUntil([&] { return receiver.Stdout().find("key=end") != std::string::npos; }));
  // Printed as text, with the escape and the C1 control made visible instead of obeyed.
  EXPECT_NE(
      receiver.Stdout().find(
          "pid=ime&type=0&fr=&url=http%3A%2F%2Fh%2F\xC3\xA9&esc=\\x1b[2J\\xc2\\x9b1m&key=end\n"),
      std::string::npos)
      << receiver.Stdout();
  EXPECT_EQ(receiver.Stdout().find('\x1b'), std::string::npos);
  receiver.Signal(SIGINT);
  EXPECT_EQ(receiver.Wait(), 0);
  EXPECT_NE(receiver.Stdout().find("1 reports received"), std::string::npos) << receiver.Stdout();
}
