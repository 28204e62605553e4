#include "tests/cli/CommandProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

CCommandProcess::CCommandProcess(std::vector<std::string> args) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return;
  pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd = outPipe[0];
  errFd = errPipe[0];
}

CCommandProcess::~CCommandProcess() {
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  if (outFd >= 0) ::close(outFd);
  if (errFd >= 0) ::close(errFd);
}

void CCommandProcess::Drain(int timeoutMs) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) <= 0) return;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
  }
}

int CCommandProcess::Wait(std::chrono::milliseconds deadline) {
  if (pid <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= end) return -1;  // the destructor kills it
    Drain(20);
  }
  pid = -1;
  // The child is gone: read what is left in the pipes up to their end.
  char buffer[65536];
  for (int fd : {outFd, errFd}) {
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      (fd == outFd ? out : err).append(buffer, static_cast<size_t>(n));
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void CCommandProcess::Signal(int signal) {
  if (pid > 0) ::kill(pid, signal);
}

CommandResult RunCommand(std::vector<std::string> args, std::chrono::milliseconds deadline) {
  CCommandProcess process(std::move(args));
  const int status = process.Wait(deadline);
  return {status, process.Stdout(), process.Stderr()};
}
