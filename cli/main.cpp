// zvnet: a command-line client of the zvnet library.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string_view>
#include <utility>

#include "cli/CommandDocs.h"
#include "cli/ExitCodes.h"
#include "cli/GetCommand.h"
#include "cli/PostCommand.h"
#include "cli/ProcessSetup.h"
#include "cli/ServerCommands.h"
#include "cli/UdpCommand.h"
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
                    "Report the redirects of http URLs and follow them one by one (over https "
                    "the transfer follows redirects itself, unreported)");
  command->add_flag("--stop-on-redirect", http->stopOnRedirect,
                    "Fail on the first redirect of an http URL (over https the transfer "
                    "follows redirects itself)");
  command->add_option("--proxy", http->proxy, "http://HOST:PORT, socks5://HOST:PORT or system");
  command->add_option("--proxy-user", http->proxyUser, "USER:PASSWORD for the proxy");
  command->add_option("--timeout", http->timeoutSeconds, "Whole time allowed, in seconds")
      ->check(CLI::NonNegativeNumber);
}

// Everything the parser fills, and the subcommands, to tell which one ran.
struct CommandLine {
  GetOptions get;
  PostOptions post;
  HttpOptions reachableHttp;
  std::string reachableUrl;
  UdpOptions udp;
  ServerCommands servers;
  CLI::App* getCommand = nullptr;
  CLI::App* postCommand = nullptr;
  CLI::Option* postData = nullptr;
  CLI::App* reachable = nullptr;
  CLI::App* udpCommand = nullptr;
  CLI::App* watch = nullptr;
};

void AddHttpCommands(CLI::App& app, CommandLine& cl) {
  GetOptions& get = cl.get;
  cl.getCommand = app.add_subcommand("get", "Download URLs into a file or standard output");
  cl.getCommand->add_option("url", get.urls, "URL(s) to download")->required();
  cl.getCommand->add_option("-o,--output", get.output,
                            "File to write (a folder with several URLs); default: standard output");
  cl.getCommand->add_flag("--resume", get.resume, "Continue the file's .downloading part");
  cl.getCommand->add_option(
      "--if-modified-since", get.ifModifiedSince,
      "Fetch only if changed since DATE (YYYY-MM-DD[THH:MM:SS] or HTTP date)");
  cl.getCommand->add_option("--workers", get.workers, "Workers sharing several URLs")
      ->check(CLI::Range(1, 256));
  cl.getCommand->add_flag("-q,--quiet", get.quiet, "No progress");
  AddHttpOptions(cl.getCommand, &get.http);

  cl.postCommand = app.add_subcommand("post", "Upload a body and print the answer");
  cl.postCommand->add_option("url", cl.post.url, "URL to post to")->required();
  cl.postData = cl.postCommand->add_option("--data", cl.post.data, "Body text");
  auto* dataFile =
      cl.postCommand->add_option("--data-file", cl.post.dataFile, "File holding the body");
  cl.postData->excludes(dataFile);
  AddHttpOptions(cl.postCommand, &cl.post.http);

  cl.reachable = app.add_subcommand("reachable", "Exit 0 when the destination answers");
  cl.reachable->add_option("url", cl.reachableUrl, "Host or URL")->required();
  cl.reachable->add_option("--proxy", cl.reachableHttp.proxy,
                           "http://HOST:PORT, socks5://HOST:PORT or system");
  cl.reachable->add_option("--proxy-user", cl.reachableHttp.proxyUser, "USER:PASSWORD");
}

void AddOtherCommands(CLI::App& app, CommandLine& cl) {
  UdpOptions& udp = cl.udp;
  cl.udpCommand =
      app.add_subcommand("udp", "Send one datagram request and print the reply (escaped)");
  cl.udpCommand->add_option("server", udp.server, "HOST:PORT")->required();
  cl.udpCommand->add_option("payload", udp.payload, "Request text")->required();
  auto* channel = cl.udpCommand->add_option("--channel", udp.channel, "send|recv|sendrecv|duplex")
                      ->check(CLI::IsMember({"send", "recv", "sendrecv", "duplex"}));
  auto* oneShot = cl.udpCommand->add_flag("--one-shot", udp.oneShot, "Without a channel");
  channel->excludes(oneShot);
  cl.udpCommand->add_option("--timeout", udp.timeoutMs, "Time-out in milliseconds");

  AddServeCommands(app, cl.servers);
  cl.watch = app.add_subcommand("watch", "Print network changes until interrupted");
  AddDemoCommand(app, cl.servers);
}

// Parsing is over: the chosen command may take its options (URL lists can be long).
int RunParsed(CommandLine& cl) {
  if (cl.getCommand->parsed()) return CGetCommand(std::move(cl.get)).Run();
  if (cl.postCommand->parsed()) {
    if (cl.post.dataFile.empty() && !*cl.postData) {
      std::fprintf(stderr, "zvnet: post needs --data or --data-file\n");
      return kExitUsage;
    }
    return RunPost(cl.post);
  }
  if (cl.reachable->parsed()) return RunReachable(cl.reachableHttp, cl.reachableUrl);
  if (cl.udpCommand->parsed()) return RunUdp(cl.udp);
  if (cl.watch->parsed()) return RunWatch();
  const int served = RunServerCommand(cl.servers);
  return served >= 0 ? served : kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareProcess(argc, argv);
  CLI::App app{"zvnet: HTTP transfers, framed UDP exchanges and network-change watching"};
  app.footer(kExitHelp);
  app.set_version_flag("--version", "zvnet " ZVNET_VERSION, "Print the version and exit");
  app.require_subcommand(1);
  CommandLine cl;
  AddHttpCommands(app, cl);
  AddOtherCommands(app, cl);

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
  return RunParsed(cl);
}
