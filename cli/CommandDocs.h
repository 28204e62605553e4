// The manual page and the bash completion of the command, written from its parser, so that
// neither can name an option the parser does not have or miss one it has. The build runs
// `zvnet --generate man|bash` to make the installed files.
#ifndef ZVNET_CLI_COMMANDDOCS_H_
#define ZVNET_CLI_COMMANDDOCS_H_

#include <CLI/CLI.hpp>

#include <string>

// roff for man(1): name, synopsis, each subcommand with its arguments and options, exit
// status.
std::string ManPage(const CLI::App& app, const std::string& version);
// A bash script that completes subcommands, then the options of the one given.
std::string BashCompletion(const CLI::App& app);

#endif  // ZVNET_CLI_COMMANDDOCS_H_
