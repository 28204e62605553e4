// What the command sets up in its process before it parses its arguments.
#ifndef ZVNET_CLI_PROCESSSETUP_H_
#define ZVNET_CLI_PROCESSSETUP_H_

// Linux: keeps freed memory for the next download (glibc's trim threshold). Windows: replaces
// the arguments with UTF-8 ones (the CRT's are in the ANSI code page) kept for the life of the
// process, and makes standard output binary, so that a body is written as it came.
void PrepareProcess(int& argc, char**& argv);

#endif  // ZVNET_CLI_PROCESSSETUP_H_
