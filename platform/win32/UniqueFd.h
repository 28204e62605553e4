// Owns one file descriptor and closes it.
#ifndef ZVNET_PLATFORM_WIN32_UNIQUEFD_H_
#define ZVNET_PLATFORM_WIN32_UNIQUEFD_H_

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd; }
  bool IsValid() const { return fd >= 0; }
  int Release() { return std::exchange(fd, -1); }
  void Reset(int newFd = -1) {
    if (fd >= 0) ::close(fd);
    fd = newFd;
  }

 private:
  int fd = -1;
};

#endif  // ZVNET_PLATFORM_WIN32_UNIQUEFD_H_
