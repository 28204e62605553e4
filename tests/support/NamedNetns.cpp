#include "tests/support/NamedNetns.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "platform/UniqueFd.h"
#include "tests/support/RunCommand.h"

namespace {

constexpr char kPrefix[] = "zvt";
constexpr char kNetnsDir[] = "/var/run/netns";

// Namespaces left behind by test processes that died before deleting them.
void RemoveAbandoned() {
  DIR* dir = ::opendir(kNetnsDir);
  if (!dir) return;
  std::vector<std::string> abandoned;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    long pid = std::strtol(name.c_str() + sizeof kPrefix - 1, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      abandoned.push_back(name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : abandoned) RunCommand({"ip", "netns", "del", name});
}

}  // namespace

CNamedNetns::CNamedNetns(const std::string& role) : role(role) {
  static std::atomic<int> counter{0};
  static const bool cleaned = (RemoveAbandoned(), true);
  (void)cleaned;
  name = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-" + role;
  if (::geteuid() != 0 || !RunCommand({"ip", "netns", "add", name})) return;
  ok = Ip({"link", "set", "lo", "up"});
}

CNamedNetns::~CNamedNetns() {
  if (::geteuid() == 0) RunCommand({"ip", "netns", "del", name});
}

bool CNamedNetns::Ip(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"ip", "-n", name};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv);
}

bool CNamedNetns::Sysctl(const std::string& key, const std::string& value) const {
  return RunCommand({"ip", "netns", "exec", name, "sysctl", "-qw", key + "=" + value});
}

bool CNamedNetns::RunInside(const std::function<void()>& body) const {
  bool joined = false;
  std::thread inside([&] {
    UniqueFd netns(::open((std::string(kNetnsDir) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!netns.IsValid() || ::setns(netns.Get(), CLONE_NEWNET) != 0) return;
    joined = true;
    body();
  });
  inside.join();
  return joined;
}

bool CNamedNetns::Available() {
  static const bool available = [] {
    CNamedNetns probe("probe");
    return probe.Ok();
  }();
  return available;
}

bool CNamedNetns::InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}
