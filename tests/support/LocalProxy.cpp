#include "tests/support/LocalProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

extern char** environ;

namespace {

uint16_t FreePort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    return 0;
  }
  return ntohs(addr.sin_port);
}

bool Accepts(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

CLocalProxy::CLocalProxy(Kind kind, const std::string& user, const std::string& password) {
  port = FreePort();
  if (port == 0) return;
  std::vector<std::string> args;
  if (kind == Kind::kHttp) {
    char name[] = "/tmp/zvnet-tinyproxy-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd < 0) return;
    ::close(fd);
    configFile = name;
    std::ofstream config(configFile);
    config << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 50\n"
           << "Allow 127.0.0.1\nLogLevel Critical\nDisableViaHeader Yes\n";
    if (!user.empty()) config << "BasicAuth " << user << " " << password << "\n";
    config.close();
    args = {"tinyproxy", "-d", "-c", configFile};
  } else {
    args = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid = -1;
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port)) {
      started = true;
      return;
    }
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

CLocalProxy::~CLocalProxy() {
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    int status;
    ::waitpid(pid, &status, 0);
  }
  if (!configFile.empty()) ::unlink(configFile.c_str());
}

std::string CLocalProxy::HostPort() const {
  return "127.0.0.1:" + std::to_string(port);
}
