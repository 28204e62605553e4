// The zvnet command as a user runs it: processes with arguments, exit statuses, output, files.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "http/report/CdnReportCipher.h"
#include "tests/cli/CommandProcess.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/Pump.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

const std::string kZvnet = ZVNET_COMMAND;

// The "127.0.0.1:<port>" a serving command prints once it listens; empty when it never does.
std::string ServedAddress(CCommandProcess& process) {
  std::smatch match;
  std::string banner;
  WaitUntil([&] {
    return std::regex_search(banner = process.Stdout(), match, std::regex("127\\.0\\.0\\.1:\\d+"));
  });
  return match.empty() ? "" : match[0].str();
}

class CliTest : public ::testing::Test {
 protected:
  std::string Url(const std::string& path) const { return server.Origin() + path; }
  std::string At(const std::string& name) const { return folder.Path(name).string(); }

  CHttpTestServer server;
  CTempFolder folder;
};

}  // namespace

// The get, post and reachable commands' wiring, one row per case: arguments reach the
// exports, and the outcome comes back as an exit status, output, a line that says why, and
// files. Nothing reaches standard error as a control sequence or a redraw (not a terminal).
TEST_F(CliTest, CommandsTurnArgumentsIntoRequestsAndOutcomesIntoStatusesLinesAndFiles) {
  // Over 4 MiB, so that a body into memory is made present ahead of its reads.
  const std::string content = TestBytes((9 << 20) + 7);
  const std::string reversed(content.rbegin(), content.rend());
  server.Handle("/file.bin", CHttpTestResource(content));
  server.Handle("/A/data.bin", CHttpTestResource(content));
  server.Handle("/B/data.bin", CHttpTestResource(reversed));
  server.Handle("/page", CHttpTestResource("new content", 1764576000));  // 2025-12-01 08:00
  server.Serve("/x", HttpTestResponse::Text(200, "x"));
  HttpTestResponse cut = HttpTestResponse::Text(200, "5\r\nhello\r\n");  // no zero chunk
  cut.omitContentLength = true;
  server.Serve("/cut", cut.With("Transfer-Encoding", "chunked"));
  // Slow enough that a second transfer ends while it still runs.
  const std::string part = content.substr(0, 256 << 10);
  server.Handle("/slow/x", CHttpTestResource(part).Paced(100ms));
  server.Serve("/x.downloading", HttpTestResponse::Text(200, "not a part"));
  server.Serve("/..\\..\\up.bin", HttpTestResponse::Text(200, "up"));
  server.Serve("/jump", HttpTestResponse::Redirect(302, Url("/\x1b]0;owned\x07\x1b[2J")));
  server.Serve("/dir/hop", HttpTestResponse::Redirect(302, "../x"));
  server.Handle("/echo", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "got " + std::to_string(request.body.size()) + " bytes");
  });
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
  // The system's settings, outside a desktop, are the environment's: a proxy where nothing
  // listens.
  CScopedEnv desktop("XDG_CURRENT_DESKTOP", std::nullopt);
  CScopedEnv systemProxy("http_proxy", "http://127.0.0.1:" + port);
  using Files = std::vector<std::pair<std::string, std::string>>;
  const struct {
    std::vector<std::string> args;  // after the command's name
    int status = 0;
    // Held by standard error; a "zvnet: ..." line that says why is all of it.
    std::string err = {};
    std::optional<std::string> out = {};              // standard output
    Files before = {}, after = {};                    // files in the folder
    std::pair<std::string, std::string> header = {};  // of the last request: name, value
  } cases[] = {
      {.args = {"get", Url("/file.bin"), "-o", At("out.bin")},
       .err = "/file.bin",
       .after = {{"out.bin", content}}},
      {.args = {"get", "-q", Url("/file.bin")}, .out = content},
      {.args = {"get", "-q", "--resume", Url("/file.bin"), "-o", At("resumed")},
       .before = {{"resumed.downloading", content.substr(0, 1 << 20)}},
       .after = {{"resumed", content}},
       .header = {"Range", "bytes=1048576-"}},
      {.args = {"get", "-q", Url("/page"), "-o", At("page"), "--if-modified-since",
                "2025-12-01T08:00:00"},
       .status = 3,
       .before = {{"page", "old"}},
       .after = {{"page", "old"}},
       .header = {"If-Modified-Since", "Mon, 01 Dec 2025 08:00:00 GMT"}},
      // Same-named files get names of their own; "-o DIR/" makes the folder.
      {.args = {"get", "-q", "--workers", "2", Url("/A/data.bin"), Url("/B/data.bin"), "-o",
                At("new/sub/")},
       .err = "saving as " + At("new/sub/data.1.bin"),
       .after = {{"new/sub/data.bin", content}, {"new/sub/data.1.bin", reversed}}},
      // No file is another's part file: the later one gets a name of its own.
      {.args = {"get", "-q", "--workers", "2", Url("/slow/x"), Url("/x.downloading"), "-o",
                At("parts/")},
       .err = "saving as " + At("parts/x.1.downloading"),
       .after = {{"parts/x", part}, {"parts/x.1.downloading", "not a part"}}},
      // A name from a URL is one name in the folder, never a way out of it.
      {.args = {"get", "-q", Url("/..\\..\\up.bin"), "-o", At("deep/er/")},
       .after = {{"deep/er/up.bin", "up"}}},
      // What a server sends never reaches the terminal raw: a redirect is reported as the
      // URL it leads to, where bytes a URL cannot carry are escaped.
      {{"get", "--no-auto-redirect", Url("/jump")},
       4,
       "redirected to " + Url("/%1B]0;owned%07%1B[2J") + "\n"},
      // A relative Location is followed and reported as the address it resolves to; a
      // redirect that the caller asked to stop on stops without --no-auto-redirect too.
      {{"get", "--no-auto-redirect", Url("/dir/hop")}, 0, "redirected to " + Url("/x") + "\n", "x"},
      {{"get", "-q", "--stop-on-redirect", Url("/dir/hop")},
       1,
       "zvnet: " + Url("/dir/hop") + ": redirect refused (HTTP 302)\n"},
      {{"post", Url("/echo"), "--data", "twelve bytes"}, 0, "", "got 12 bytes"},
      {{"reachable", Url("/")}, 0},
      {{"reachable", "http://127.0.0.1:1/"}, 1},
      {{"get", "-q", Url("/missing")}, 4},
      {{"get", "-q", "--timeout", "1", silent + "/"}, 5},
      // A proxy that never answers fails the request instead of being gone around.
      {{"get", "-q", "--timeout", "3", "--proxy", silent, Url("/x")}, 5},
      {{"get", "-q", "not a url"}, 1, "zvnet: not a url: bad URL\n"},
      {{"get", "-q", "--proxy", "ftp://h:1", Url("/x")},
       2,
       "zvnet: proxy \"ftp://h:1\" must start with http://, socks5:// or system://\n"},
      {{"get", "-q", refused},
       1,
       "zvnet: " + refused + ": cannot connect to 127.0.0.1 port " + port +
           ": connection refused\n"},
      {{"get", "-q", unresolvable}, 1, "zvnet: " + unresolvable + ": host not found\n"},
      {{"get", "-q", untrusted.Origin() + "/x"},
       1,
       "zvnet: " + untrusted.Origin() + "/x: TLS certificate not trusted\n"},
      {{"get", "-q", otherName.Origin() + "/x"},
       1,
       "zvnet: " + otherName.Origin() + "/x: TLS certificate does not match the host name\n"},
      {{"get", "-q", Url("/x"), "-o", unwritable},
       1,
       "zvnet: " + Url("/x") + ": cannot write " + unwritable + ": No such file or directory\n"},
      // A body cut before its end leaves the file as it was.
      {.args = {"get", "-q", Url("/cut"), "-o", At("kept")},
       .status = 1,
       .err = "zvnet: " + Url("/cut") + ": connection lost (HTTP 200)\n",
       .before = {{"kept", "old"}},
       .after = {{"kept", "old"}}},
      {{"get", "-q", "--proxy", "http://127.0.0.1:" + port, Url("/x")},
       1,
       "zvnet: " + Url("/x") + ": cannot reach the proxy\n"},
      {{"get", "-q", "--proxy", "system", Url("/x")},
       1,
       "zvnet: " + Url("/x") + ": cannot reach the proxy\n"},
      {{"post", refused, "--data", "d"},
       1,
       "zvnet: " + refused + ": cannot connect to 127.0.0.1 port " + port +
           ": connection refused\n"},
      {{"fetch"}, 2},
      {{"get"}, 2},
      {{"--help"}, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {kZvnet};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args[1] + " " + args.back());
    for (const auto& [name, bytes] : c.before) folder.Write(name, bytes);
    const size_t requestsBefore = server.RequestCount();
    const auto result = RunCommand(args);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (c.err.rfind("zvnet: ", 0) == 0) {
      EXPECT_EQ(result.err, c.err);
    }
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find_first_of("\r\x1b\x07"), std::string::npos) << result.err;
    if (c.out) {
      EXPECT_TRUE(result.out == *c.out) << result.out.substr(0, 200);
    }
    for (const auto& [name, bytes] : c.after) {
      EXPECT_TRUE(folder.Read(name) == bytes) << name;
    }
    if (!c.header.first.empty()) {
      EXPECT_EQ(server.Requests().back().Header(c.header.first), c.header.second);
    }
    if (args[1] == "--help") {
      EXPECT_NE(result.out.find("5 time-out"), std::string::npos);
    }
    if (args.back() == Url("/x") && c.status) {
      EXPECT_EQ(server.RequestCount(), requestsBefore) << "went around the proxy";
    }
  }
}

// What the network says (a Location, a UDP reply) and links the user pasted reach the
// terminal escaped: controls and bytes that are not UTF-8 as \xHH, characters that are
// invisible or turn the text around as \uHHHH, so a URL or a name reads as what it is.
// Ordinary text, beyond ASCII too, stays as it is; a redirect shows the URL it leads to.
TEST_F(CliTest, NetworkTextReachesTheTerminalEscaped) {
  CCommandProcess serve({kZvnet, "udp-serve"});  // answers each request with its own text
  const std::string udp = ServedAddress(serve);
  ASSERT_FALSE(udp.empty()) << serve.Stdout();
  const std::string refused = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/";
  const struct {
    const char* name;
    std::string text, printed;
    bool utf8 = true;  // else the library may show the broken bytes as U+FFFD
  } rows[] = {
      {"right-to-left override", "invoice\u202Efdp.exe", "invoice\\u202efdp.exe"},
      {"isolates", "a\u2066b\u2067c\u2068d\u2069", "a\\u2066b\\u2067c\\u2068d\\u2069"},
      {"embeddings and marks", "\u202A\u202B\u202C\u202D\u200E\u200F\u061C",
       "\\u202a\\u202b\\u202c\\u202d\\u200e\\u200f\\u061c"},
      {"zero-width", "pay\u200Bpal\u200C\u200D\u2060\u2064",
       "pay\\u200bpal\\u200c\\u200d\\u2060\\u2064"},
      {"byte order mark, soft hyphen", "\uFEFFad\u00ADmin", "\\ufeffad\\u00admin"},
      {"line and paragraph separators", "a\u2028b\u2029c", "a\\u2028b\\u2029c"},
      {"tags", "x\U000E0041\U000E007F", "x\\U000e0041\\U000e007f"},
      {"controls", "\x1b[2J\u009b1m\x7f", "\\x1b[2J\\xc2\\x9b1m\\x7f"},
      {"ordinary text", "caf\u00e9-\u6f22\u5b57-\U0001F600-\uFFFD",
       "caf\u00e9-\u6f22\u5b57-\U0001F600-\uFFFD"},
      {"overlong and surrogate", "\xC0\xAF\xE0\x80\xAF\xED\xA0\x80",
       "\\xc0\\xaf\\xe0\\x80\\xaf\\xed\\xa0\\x80", false},
      {"beyond U+10FFFF, lone and cut",
       "\xF4\x90\x80\x80"
       "a\x80"
       "b\xE2\x80",
       "\\xf4\\x90\\x80\\x80a\\x80b\\xe2\\x80", false},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = "/r" + std::to_string(n++);
    server.Serve(path, HttpTestResponse::Redirect(302, Url("/" + row.text)));
    const auto redirect = RunCommand({kZvnet, "get", "--no-auto-redirect", Url(path)});
    const auto reply = RunCommand({kZvnet, "udp", udp, row.text});
    const auto failure = RunCommand({kZvnet, "get", "-q", refused + row.text});
    EXPECT_EQ(reply.out, row.printed + "\n");
    EXPECT_EQ(failure.err.rfind("zvnet: " + refused + row.printed + ": ", 0), 0u) << failure.err;
    if (row.utf8) {
      // A redirect is reported as the URL it leads to, where all but printable ASCII is %XX.
      std::string encoded;
      for (unsigned char c : row.text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += c > 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : hex;
      }
      EXPECT_NE(redirect.err.find("redirected to " + Url("/" + encoded) + "\n"), std::string::npos)
          << redirect.err;
    }
    if (row.printed != row.text) {
      for (const std::string* out : {&redirect.err, &reply.out, &failure.err}) {
        EXPECT_EQ(out->find(row.text), std::string::npos) << *out;
      }
    }
  }
}

// Interrupted, a download stops and keeps what it holds for a later --resume.
TEST_F(CliTest, InterruptStopsTheDownloadAndKeepsItsPart) {
  HttpTestResponse trickle;  // owns what it serves: it still runs after the test body
  trickle.generatedLength = 64 << 20;
  trickle.generator = [](uint64_t, char* out, size_t length) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::fill_n(out, length, 't');
  };
  server.Serve("/slow", trickle);
  CCommandProcess get({kZvnet, "get", "-q", Url("/slow"), "-o", At("slow")});
  auto held = [&] { return folder.Read("slow.downloading").size(); };
  ASSERT_TRUE(WaitUntil([&] { return held() >= 256 * 1024; }, 30s));
  get.Signal(SIGINT);
  EXPECT_EQ(get.Wait(), 1);
  EXPECT_NE(get.Stderr().find("interrupted"), std::string::npos);
  EXPECT_GE(held(), 256u * 1024);
}

TEST(CliVersionTest, VersionAndTheInstalledDocsCoverEveryOption) {
  const auto version = RunCommand({kZvnet, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "zvnet " ZVNET_VERSION "\n");
  const std::string man = CTempFolder::ReadPath(ZVNET_DOCS_DIR "/zvnet.1");
  const std::string completion = CTempFolder::ReadPath(ZVNET_DOCS_DIR "/zvnet.bash");
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
