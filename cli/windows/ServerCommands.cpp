// Windows: no subcommand runs servers in the process (their servers stand on POSIX); demo runs
// against servers it is given.
#include "cli/ServerCommands.h"

#include "cli/DemoCommand.h"

void AddServeCommands(CLI::App&, ServerCommands&) {}

void AddDemoCommand(CLI::App& app, ServerCommands& commands) {
  commands.demo = app.add_subcommand(
      "demo", "Show every family working against the servers given (started elsewhere)");
  commands.demo
      ->add_option("--http", commands.demoHttp, "Server of the demo's resources (base URL)")
      ->required();
  commands.demo->add_option("--udp", commands.demoUdp, "UDP reference server (HOST:PORT)")
      ->required();
}

int RunServerCommand(const ServerCommands& commands) {
  return commands.demo->parsed() ? RunDemoAgainst(commands.demoHttp, commands.demoUdp) : -1;
}
