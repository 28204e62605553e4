// Windows: no subcommand runs servers in the process (their servers stand on POSIX).
#include "cli/ServerCommands.h"

void AddServeCommands(CLI::App&, ServerCommands&) {}

void AddDemoCommand(CLI::App&, ServerCommands&) {}

int RunServerCommand(const ServerCommands&) {
  return -1;
}
