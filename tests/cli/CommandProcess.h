// Runs the zvnet command as a user would: a child process with arguments, its output
// captured, its exit status waited for with a deadline.
#ifndef ZVNET_TESTS_CLI_COMMANDPROCESS_H_
#define ZVNET_TESTS_CLI_COMMANDPROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class CCommandProcess {
 public:
  explicit CCommandProcess(std::vector<std::string> args);
  ~CCommandProcess();  // kills a child still running
  CCommandProcess(const CCommandProcess&) = delete;
  CCommandProcess& operator=(const CCommandProcess&) = delete;

  // Waits for the exit; -1 when it did not end in time (the destructor kills the child).
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(60));
  void Signal(int signal);
  // Output so far (all of it after Wait).
  std::string Stdout() { return Drain(0), out; }
  std::string Stderr() { return Drain(0), err; }

 private:
  void Drain(int timeoutMs);

  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
  std::string out;
  std::string err;
};

// Runs to completion: {status, stdout, stderr}.
struct CommandResult {
  int status;
  std::string out;
  std::string err;
};
CommandResult RunCommand(std::vector<std::string> args,
                         std::chrono::milliseconds deadline = std::chrono::seconds(60));

#endif  // ZVNET_TESTS_CLI_COMMANDPROCESS_H_
