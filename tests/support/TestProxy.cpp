#include "tests/support/TestProxy.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/LoopbackPort.h"
#include "tests/support/Pump.h"

extern char** environ;

std::unique_ptr<CTestProxy> CTestProxy::StartHttp(const std::string& user,
                                                  const std::string& password) {
  return Start(true, user, password);
}

std::unique_ptr<CTestProxy> CTestProxy::StartSocks5(const std::string& user,
                                                    const std::string& password) {
  return Start(false, user, password);
}

std::unique_ptr<CTestProxy> CTestProxy::Start(bool http, const std::string& user,
                                              const std::string& password) {
  // The port is picked before the proxy binds it; another process may take it meanwhile,
  // so a start that does not come up is tried again on a new port.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::unique_ptr<CTestProxy> proxy(new CTestProxy);
    char folder[] = "/tmp/zvnet-proxy-XXXXXX";
    if (!::mkdtemp(folder) || (proxy->port = FreeLoopbackPort()) == 0) return nullptr;
    proxy->folder = folder;
    // microsocks writes its lines to standard output, tinyproxy to its log file.
    const std::string output = proxy->folder + "/output.log";
    proxy->logPath = http ? proxy->folder + "/proxy.log" : output;
    std::vector<std::string> argv;
    if (http) {
      const std::string config = proxy->folder + "/tinyproxy.conf";
      std::ofstream(config) << "Port " << proxy->port
                            << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\nLogFile \""
                            << proxy->logPath << "\"\nLogLevel Info\n"
                            << (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n");
      argv = {"tinyproxy", "-d", "-c", config};
    } else {
      argv = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxy->port)};
      if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    }
    if (proxy->Launch(argv, output) && proxy->WaitUntilListening(10s)) return proxy;
  }
  return nullptr;
}

bool CTestProxy::Launch(const std::vector<std::string>& argv, const std::string& outputPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int result = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) pid = -1;
  return result == 0;
}

bool CTestProxy::WaitUntilListening(std::chrono::milliseconds deadline) {
  const bool settled = WaitUntil(
      [&] {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) {
          pid = -1;  // it ended: the port was taken, or it refused its configuration
          return true;
        }
        return LoopbackAccepts(port);
      },
      deadline);
  return settled && pid > 0;
}

CTestProxy::~CTestProxy() {
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    if (!WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 5s)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
}

std::string CTestProxy::Log() const {
  std::stringstream text;
  text << std::ifstream(logPath).rdbuf();
  return text.str();
}

bool CTestProxy::WaitForLog(const std::string& text, std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, deadline);
}
