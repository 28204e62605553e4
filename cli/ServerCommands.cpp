#include "cli/ServerCommands.h"

#include <memory>
#include <stdexcept>

#include "cli/DemoCommand.h"
#include "cli/ExitCodes.h"
#include "cli/ReportServeCommand.h"
#include "cli/Text.h"
#include "cli/UdpServeCommand.h"
#include "tools/DemoResources.h"
#include "tools/HttpTestServer.h"
#include "tools/UdpReferenceServer.h"

namespace {

// The demo against servers started here on loopback.
int RunDemoWithOwnServers() {
  std::unique_ptr<CHttpTestServer> http;
  try {
    http = std::make_unique<CHttpTestServer>();
  } catch (const std::runtime_error&) {
    PrintError("cannot start the loopback HTTP server");
    return kExitFailure;
  }
  ServeDemoResources(*http, "");
  CUdpReferenceServer udp;
  if (udp.Start() != 0) {
    PrintError("cannot start the UDP reference server");
    return kExitFailure;
  }
  const int status = CDemoCommand({http->Origin(), "127.0.0.1", udp.Port()}).Run();
  udp.Stop();
  return status;
}

}  // namespace

void AddServeCommands(CLI::App& app, ServerCommands& commands) {
  commands.udpServe = app.add_subcommand("udp-serve", "Run the reference datagram server");
  commands.udpServe->add_option("--port", commands.servePort, "UDP port (default: any free port)");
  commands.udpServe->add_option("--address", commands.serveAddress, "Dotted IPv4 address to bind");
  commands.udpServe->add_flag("--cloud", commands.serveCloud,
                              "Answer typed text with a cloud candidate (the fcitx5 example)");
  commands.udpServe->add_option("--delay", commands.serveDelayMs,
                                "Hold every answer back this many milliseconds");

  commands.reportServe =
      app.add_subcommand("report-serve", "Receive and print performance reports");
  commands.reportServe->add_option("--port", commands.reportPort,
                                   "TCP port (default: any free port)");
  commands.reportServe->add_option("--address", commands.reportAddress,
                                   "Numeric address to listen on");
}

void AddDemoCommand(CLI::App& app, ServerCommands& commands) {
  commands.demo = app.add_subcommand(
      "demo", "Show every family working against servers started in this process on loopback");
  auto* http = commands.demo->add_option("--http", commands.demoHttp,
                                         "Use this server of the demo's resources (base URL)");
  auto* udp = commands.demo->add_option("--udp", commands.demoUdp,
                                        "Use this UDP reference server (HOST:PORT)");
  http->needs(udp);
  udp->needs(http);
}

int RunServerCommand(const ServerCommands& commands) {
  if (commands.udpServe->parsed()) {
    return RunUdpServe(commands.serveAddress.c_str(), commands.servePort, commands.serveCloud,
                       commands.serveDelayMs);
  }
  if (commands.reportServe->parsed()) {
    return RunReportServe(commands.reportAddress.c_str(), commands.reportPort);
  }
  if (commands.demo->parsed()) {
    return commands.demoHttp.empty() ? RunDemoWithOwnServers()
                                     : RunDemoAgainst(commands.demoHttp, commands.demoUdp);
  }
  return -1;
}
