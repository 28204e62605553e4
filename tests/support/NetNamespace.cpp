#include "tests/support/NetNamespace.h"

#include <dirent.h>
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
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/Pump.h"

extern char** environ;

namespace {

constexpr char kPrefix[] = "zvnet-test-";

bool RunCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Namespaces left behind by test processes that died before their clean-up.
void DeleteAbandonedNamespaces() {
  DIR* dir = ::opendir("/run/netns");
  if (!dir) return;
  std::vector<std::string> abandoned;
  while (dirent* entry = ::readdir(dir)) {
    const std::string entryName = entry->d_name;
    if (entryName.rfind(kPrefix, 0) != 0) continue;
    const long pid = std::strtol(entryName.c_str() + sizeof kPrefix - 1, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      abandoned.push_back(entryName);
    }
  }
  ::closedir(dir);
  for (const std::string& old : abandoned) RunCommand({"ip", "netns", "del", old});
}

std::string UniqueName() {
  static std::atomic<int> counter{0};
  return kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A private copy of `content` that the thread's mount can bind; removed with the object.
class CTempFile {
 public:
  explicit CTempFile(const std::string& content) {
    char pattern[] = "/tmp/zvnet-ns-file-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd < 0) return;
    path = pattern;
    ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
  }
  ~CTempFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;

  bool ok = false;
  std::string path;
};

}  // namespace

bool IsCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

namespace {

// Serialises `ip netns add` across test processes: the first ones after boot race to make
// /run/netns a shared mount, and a loser can stack a second mount that hides the other's
// namespace.
class CNamespaceCreationLock {
 public:
  CNamespaceCreationLock()
      : fd(::open("/run/zvnet-netns.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd.IsValid()) ::flock(fd.Get(), LOCK_EX);
  }

 private:
  UniqueFd fd;  // the lock goes with the descriptor
};

}  // namespace

CNetNamespace::CNetNamespace() : name(UniqueName()) {
  {
    CNamespaceCreationLock lock;
    DeleteAbandonedNamespaces();
    if (!RunCommand({"ip", "netns", "add", name})) return;
  }
  fd = UniqueFd(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
  const bool isNetworkNamespace = IsValid() && ::ioctl(fd.Get(), NS_GET_NSTYPE) == CLONE_NEWNET;
  if (!isNetworkNamespace || !Ip("link set lo up")) fd.Reset();
}

CNetNamespace::~CNetNamespace() {
  if (IsValid()) RunCommand({"ip", "netns", "del", name});
}

bool CNetNamespace::Ip(const std::string& args) const {
  std::vector<std::string> command = {"ip", "-n", name};
  for (std::string& word : SplitAtBlanks(args)) command.push_back(std::move(word));
  return RunCommand(command);
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
  std::vector<std::unique_ptr<CTempFile>> copies;
  for (const auto& [path, content] : files) {
    copies.push_back(std::make_unique<CTempFile>(content));
    if (!copies.back()->ok) return false;
  }
  bool ran = false;
  std::thread thread([&] {
    if (::setns(fd.Get(), CLONE_NEWNET) != 0) return;
    if (!files.empty()) {
      // The thread's own mount namespace: its binds vanish with the thread.
      if (::unshare(CLONE_NEWNS) != 0) return;
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
      size_t i = 0;
      for (const auto& entry : files) {
        if (::mount(copies[i++]->path.c_str(), entry.first.c_str(), nullptr, MS_BIND, nullptr)) {
          return;
        }
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
      if (std::sscanf(line.c_str(), "%*s %d %u %x", &protocol, &portId, &joined) == 3 &&
          protocol == 0 /* NETLINK_ROUTE */ && joined == groups) {
        ++count;
      }
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
