// Owns one file descriptor and closes it. The tools' own, so that they need nothing of the
// library's platform layer.
#ifndef ZVNET_TOOLS_OWNEDFD_H_
#define ZVNET_TOOLS_OWNEDFD_H_

#include <unistd.h>

#include <utility>

class COwnedFd {
 public:
  COwnedFd() = default;
  explicit COwnedFd(int fd) : fd(fd) {}
  COwnedFd(COwnedFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  COwnedFd& operator=(COwnedFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd, -1));
    return *this;
  }
  COwnedFd(const COwnedFd&) = delete;
  COwnedFd& operator=(const COwnedFd&) = delete;
  ~COwnedFd() { Reset(); }

  int Get() const { return fd; }
  bool IsValid() const { return fd >= 0; }
  void Reset(int newFd = -1) {
    if (fd >= 0) ::close(fd);
    fd = newFd;
  }

 private:
  int fd = -1;
};

#endif  // ZVNET_TOOLS_OWNEDFD_H_
