// What the command sets up in its process before it parses its arguments.
#ifndef ZVNET_CLI_PROCESSSETUP_H_
#define ZVNET_CLI_PROCESSSETUP_H_

#include <string>

// Linux: keeps freed memory for the next download (glibc's trim threshold). Windows: replaces
// the arguments with UTF-8 ones (the CRT's are in the ANSI code page) kept for the life of the
// process, and makes standard output binary, so that a body is written as it came.
void PrepareProcess(int& argc, char**& argv);

// A new folder of this user's for scratch files (Linux: mkdtemp under /tmp; Windows: under
// GetTempPathW), as UTF-8; empty when none could be made.
std::string MakeScratchFolder();

#endif  // ZVNET_CLI_PROCESSSETUP_H_
