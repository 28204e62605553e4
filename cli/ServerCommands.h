// The subcommands that run servers inside the process: udp-serve, report-serve, and demo unless
// it is given servers. Their servers come from tools/, on both platforms.
#ifndef ZVNET_CLI_SERVERCOMMANDS_H_
#define ZVNET_CLI_SERVERCOMMANDS_H_

#include <CLI/CLI.hpp>

#include <string>

// What the parser fills for them, and the subcommands, to tell which one ran.
struct ServerCommands {
  std::string serveAddress = "127.0.0.1";
  unsigned short servePort = 0;
  bool serveCloud = false;        // --cloud: answer with candidates instead of echoes
  unsigned int serveDelayMs = 0;  // --delay: hold every answer back this long
  std::string reportAddress = "127.0.0.1";
  unsigned short reportPort = 0;
  CLI::App* udpServe = nullptr;
  CLI::App* reportServe = nullptr;
  CLI::App* demo = nullptr;
  std::string demoHttp;  // --http: the base URL of the demo's resources
  std::string demoUdp;   // --udp: HOST:PORT of a UDP reference server
};

// udp-serve and report-serve.
void AddServeCommands(CLI::App& app, ServerCommands& commands);
void AddDemoCommand(CLI::App& app, ServerCommands& commands);
// The exit status of the one that was parsed, or -1 when none was.
int RunServerCommand(const ServerCommands& commands);

#endif  // ZVNET_CLI_SERVERCOMMANDS_H_
