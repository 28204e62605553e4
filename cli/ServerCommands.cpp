#include "cli/ServerCommands.h"

#include "cli/DemoCommand.h"
#include "cli/ReportServeCommand.h"
#include "cli/UdpServeCommand.h"

void AddServeCommands(CLI::App& app, ServerCommands& commands) {
  commands.udpServe = app.add_subcommand("udp-serve", "Run the reference datagram server");
  commands.udpServe->add_option("--port", commands.servePort, "UDP port (default: any free port)");
  commands.udpServe->add_option("--address", commands.serveAddress, "Dotted IPv4 address to bind");

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
}

int RunServerCommand(const ServerCommands& commands) {
  if (commands.udpServe->parsed()) {
    return RunUdpServe(commands.serveAddress.c_str(), commands.servePort);
  }
  if (commands.reportServe->parsed()) {
    return RunReportServe(commands.reportAddress.c_str(), commands.reportPort);
  }
  if (commands.demo->parsed()) return CDemoCommand().Run();
  return -1;
}
