#include "tests/faults/PrivateMounts.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <thread>

bool RunWithPrivateTmpfs(size_t sizeBytes, const std::function<void(const std::string&)>& body) {
  bool ran = false;
  std::thread thread([&] {
    // The namespace belongs to this thread alone; it ends with the thread.
    if (::unshare(CLONE_NEWNS) != 0) return;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    char directory[] = "/tmp/zvnet-mount-XXXXXX";
    if (!::mkdtemp(directory)) return;
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    if (::mount("tmpfs", directory, "tmpfs", 0, options.c_str()) == 0) {
      ran = true;
      body(directory);
      ::umount2(directory, MNT_DETACH);
    }
    ::rmdir(directory);
  });
  thread.join();
  return ran;
}

bool RemountReadOnly(const std::string& directory) {
  return ::mount("tmpfs", directory.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}
