#include "tests/support/NetNamespace.h"

#include <fcntl.h>
#include <linux/nsfs.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"

extern char** environ;

namespace {

constexpr char kPrefix[] = "zvnet-test-";

// Runs `command`, split at blanks; true when it exits with 0.
bool Run(const std::string& command) {
  std::istringstream in(command);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid;
  int status = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool IsCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

CNetNamespace::CNetNamespace() {
  static std::atomic<int> counter{0};
  name = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  {
    // Serialises `ip netns add` across test processes: the first ones after boot race to make
    // /run/netns a shared mount, and a loser can stack a second mount that hides the other's
    // namespace. The lock goes with the descriptor.
    UniqueFd lock(::open("/run/zvnet-netns.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.IsValid()) ::flock(lock.Get(), LOCK_EX);
    // Namespaces left behind by test processes that died before their clean-up.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
      const std::string old = entry.path().filename();
      if (old.rfind(kPrefix, 0) != 0) continue;
      const long pid = std::strtol(old.c_str() + sizeof kPrefix - 1, nullptr, 10);
      if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
        Run("ip netns del " + old);
      }
    }
    if (!Run("ip netns add " + name)) return;
  }
  fd = UniqueFd(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
  const bool isNetworkNamespace = IsValid() && ::ioctl(fd.Get(), NS_GET_NSTYPE) == CLONE_NEWNET;
  if (!isNetworkNamespace || !Ip("link set lo up")) fd.Reset();
}

CNetNamespace::~CNetNamespace() {
  if (IsValid()) Run("ip netns del " + name);
}

bool CNetNamespace::Ip(const std::string& args) const {
  return Run("ip -n " + name + " " + args);
}

bool CNetNamespace::AddLinkPair(const std::string& a, const std::string& b) const {
  if (!Ip("link add " + a + " type veth peer name " + b)) return false;
  for (const std::string& end : {a, b}) {
    if (!Ip("link set " + end + " addrgenmode none") || !Ip("link set " + end + " up")) {
      return false;
    }
  }
  return WaitUntil([&] { return IsRunning(a) && IsRunning(b); }, 10s);
}

bool CNetNamespace::RunOnThread(const std::function<void()>& body,
                                const std::map<std::string, std::string>& files) const {
  if (!IsValid()) return false;
  // Private copies that the thread's mount can bind.
  CTempFolder copies;
  int n = 0;
  for (const auto& entry : files) copies.Write(std::to_string(n++), entry.second);
  bool ran = false;
  std::thread thread([&] {
    if (::setns(fd.Get(), CLONE_NEWNET) != 0) return;
    if (!files.empty()) {
      // The thread's own mount namespace: its binds vanish with the thread.
      if (::unshare(CLONE_NEWNS) != 0) return;
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
      n = 0;
      for (const auto& entry : files) {
        const std::string copy = copies.Path(std::to_string(n++));
        if (::mount(copy.c_str(), entry.first.c_str(), nullptr, MS_BIND, nullptr)) return;
      }
    }
    ran = true;
    body();
  });
  thread.join();
  return ran;
}

int CNetNamespace::CountNetlinkListeners(unsigned int groups) const {
  int count = 0;
  RunOnThread([&] {
    std::ifstream in("/proc/thread-self/net/netlink");
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
      int protocol = -1;
      unsigned int portId = 0, joined = 0;
      count += std::sscanf(line.c_str(), "%*s %d %u %x", &protocol, &portId, &joined) == 3 &&
               protocol == 0 /* NETLINK_ROUTE */ && joined == groups;
    }
  });
  return count;
}

bool CNetNamespace::IsRunning(const std::string& link) const {
  bool running = false;
  RunOnThread([&] {
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, link.c_str(), IFNAMSIZ - 1);
    running = probe.IsValid() && ::ioctl(probe.Get(), SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags & IFF_RUNNING);
  });
  return running;
}

bool CNetNamespace::Sysctl(const std::string& key, const std::string& value) const {
  bool written = false;
  // /proc/sys/net shows the namespace of the thread that opens it.
  RunOnThread([&] { written = static_cast<bool>(std::ofstream("/proc/sys/" + key) << value); });
  return written;
}
