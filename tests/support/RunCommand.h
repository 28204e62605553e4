// Runs a program (found on PATH) with its arguments, without a shell, and waits for it.
#ifndef ZVNET_TESTS_SUPPORT_RUNCOMMAND_H_
#define ZVNET_TESTS_SUPPORT_RUNCOMMAND_H_

#include <string>
#include <vector>

// True when it ran and exited with status 0. Its standard output is discarded.
bool RunCommand(const std::vector<std::string>& argv);

#endif  // ZVNET_TESTS_SUPPORT_RUNCOMMAND_H_
