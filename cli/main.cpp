// zvnet: a command-line client of the zvnet library.
#include <malloc.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string_view>

#include "cli/CommandDocs.h"
#include "cli/DemoCommand.h"
#include "cli/ExitCodes.h"
#include "cli/GetCommand.h"
#include "cli/PostCommand.h"
#include "cli/ReportServeCommand.h"
#include "cli/UdpCommand.h"
#include "cli/UdpServeCommand.h"
#include "cli/WatchCommand.h"

namespace {

constexpr const char* kExitHelp =
    "Exit status: 0 success, 1 failure, 2 bad arguments, 3 not modified (304),\n"
    "4 not found (404), 5 time-out.";

void AddHttpOptions(CLI::App* command, HttpOptions* http) {
  command->add_option("--header", http->headers, "Extra request header \"Name: value\"");
  command->add_option("--cookie", http->cookies, "Cookie NAME=VALUE sent with the request");
  command->add_option("--referrer", http->referrer, "Referrer of the request");
  command->add_flag("--no-auto-redirect", http->noAutoRedirect,
                    "Report redirects and follow them one by one");
  command->add_flag("--stop-on-redirect", http->stopOnRedirect, "Fail on a redirect");
  command->add_option("--proxy", http->proxy, "(http|socks5|system)://HOST:PORT");
  command->add_option("--proxy-user", http->proxyUser, "USER:PASSWORD for the proxy");
  command->add_option("--timeout", http->timeoutSeconds, "Whole time allowed, in seconds")
      ->check(CLI::NonNegativeNumber);
}

// The library's threads allocate and free a body, a buffer and a request per download, each
// in its own arena. With glibc's default threshold, a freed block often makes an arena give its
// top back to the kernel, and the next download faults the same pages in again; in a virtual
// machine each give-back also flushes page tables on every core. Keeping up to 32 MiB spare
// per arena costs little next to that.
void KeepFreedMemory() {
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  KeepFreedMemory();
  CLI::App app{"zvnet: HTTP transfers, framed UDP exchanges and network-change watching"};
  app.footer(kExitHelp);
  app.set_version_flag("--version", "zvnet " ZVNET_VERSION, "Print the version and exit");
  app.require_subcommand(1);

  GetOptions get;
  auto* getCommand = app.add_subcommand("get", "Download URLs into a file or standard output");
  getCommand->add_option("url", get.urls, "URL(s) to download")->required();
  getCommand->add_option("-o,--output", get.output,
                         "File to write (a folder with several URLs); default: standard output");
  getCommand->add_flag("--resume", get.resume, "Continue the file's .downloading part");
  getCommand->add_option("--if-modified-since", get.ifModifiedSince,
                         "Fetch only if changed since DATE (YYYY-MM-DD[THH:MM:SS] or HTTP date)");
  getCommand->add_option("--workers", get.workers, "Workers sharing several URLs")
      ->check(CLI::Range(1, 256));
  getCommand->add_flag("-q,--quiet", get.quiet, "No progress");
  AddHttpOptions(getCommand, &get.http);

  PostOptions post;
  auto* postCommand = app.add_subcommand("post", "Upload a body and print the answer");
  postCommand->add_option("url", post.url, "URL to post to")->required();
  auto* data = postCommand->add_option("--data", post.data, "Body text");
  auto* dataFile = postCommand->add_option("--data-file", post.dataFile, "File holding the body");
  data->excludes(dataFile);
  AddHttpOptions(postCommand, &post.http);

  HttpOptions reachableHttp;
  std::string reachableUrl;
  auto* reachable = app.add_subcommand("reachable", "Exit 0 when the destination answers");
  reachable->add_option("url", reachableUrl, "Host or URL")->required();
  reachable->add_option("--proxy", reachableHttp.proxy, "(http|socks5|system)://HOST:PORT");
  reachable->add_option("--proxy-user", reachableHttp.proxyUser, "USER:PASSWORD");

  UdpOptions udp;
  auto* udpCommand = app.add_subcommand("udp", "Send one datagram request and print the reply");
  udpCommand->add_option("server", udp.server, "HOST:PORT")->required();
  udpCommand->add_option("payload", udp.payload, "Request text")->required();
  auto* channel = udpCommand->add_option("--channel", udp.channel, "send|recv|sendrecv|duplex")
                      ->check(CLI::IsMember({"send", "recv", "sendrecv", "duplex"}));
  auto* oneShot = udpCommand->add_flag("--one-shot", udp.oneShot, "Without a channel");
  channel->excludes(oneShot);
  udpCommand->add_option("--timeout", udp.timeoutMs, "Time-out in milliseconds");

  std::string serveAddress = "127.0.0.1";
  unsigned short servePort = 0;
  auto* udpServe = app.add_subcommand("udp-serve", "Run the reference datagram server");
  udpServe->add_option("--port", servePort, "UDP port (default: any free port)");
  udpServe->add_option("--address", serveAddress, "Dotted IPv4 address to bind");

  std::string reportAddress = "127.0.0.1";
  unsigned short reportPort = 0;
  auto* reportServe = app.add_subcommand("report-serve", "Receive and print performance reports");
  reportServe->add_option("--port", reportPort, "TCP port (default: any free port)");
  reportServe->add_option("--address", reportAddress, "Numeric address to listen on");

  auto* watch = app.add_subcommand("watch", "Print network changes until interrupted");

  auto* demo = app.add_subcommand(
      "demo", "Show every family working against servers started in this process on loopback");

  // For the build: the manual page or the bash completion, written from the options above.
  if (argc == 3 && std::string_view(argv[1]) == "--generate") {
    const std::string_view kind = argv[2];
    if (kind != "man" && kind != "bash") return kExitUsage;
    std::fputs((kind == "man" ? ManPage(app, ZVNET_VERSION) : BashCompletion(app)).c_str(), stdout);
    return kExitOk;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;
  }

  if (getCommand->parsed()) return CGetCommand(get).Run();
  if (postCommand->parsed()) {
    if (post.dataFile.empty() && !*data) {
      std::fprintf(stderr, "zvnet: post needs --data or --data-file\n");
      return kExitUsage;
    }
    return RunPost(post);
  }
  if (reachable->parsed()) return RunReachable(reachableHttp, reachableUrl);
  if (udpCommand->parsed()) return RunUdp(udp);
  if (udpServe->parsed()) return RunUdpServe(serveAddress.c_str(), servePort);
  if (reportServe->parsed()) return RunReportServe(reportAddress.c_str(), reportPort);
  if (watch->parsed()) return RunWatch();
  if (demo->parsed()) return CDemoCommand().Run();
  return kExitUsage;
}
