// The few socket calls whose names or types differ between POSIX and Winsock, so that the
// tools' servers build on both (the Windows command runs them in its process), and an owner
// for one socket. Any thread.
#ifndef ZVNET_TOOLS_UNIQUESOCKET_H_
#define ZVNET_TOOLS_UNIQUESOCKET_H_

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <utility>

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;
inline constexpr int kShutdownBoth = SD_BOTH;
inline constexpr int kNoSigPipe = 0;  // Winsock raises no signal
// No per-call flag: a read that a poll announced does not wait.
inline constexpr int kDontWait = 0;
// Winsock has no POLLRDHUP: a peer's close shows as readable (a read of 0) or as POLLHUP.
inline constexpr short kPollPeerClosed = POLLIN;
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
inline constexpr int kShutdownBoth = SHUT_RDWR;
inline constexpr int kNoSigPipe = MSG_NOSIGNAL;
inline constexpr int kDontWait = MSG_DONTWAIT;
inline constexpr short kPollPeerClosed = POLLRDHUP;
#endif

// A new socket, close-on-exec on POSIX; on Windows Winsock is started first (once per process,
// never cleaned up) and a datagram socket ignores ICMP "port unreachable", which would
// otherwise fail its next read.
SocketHandle OpenSocket(int family, int type, int protocol);
SocketHandle AcceptSocket(SocketHandle listener);
void CloseSocket(SocketHandle socket);
// poll() or WSAPoll(); on POSIX again after an interruption.
int PollSockets(pollfd* fds, size_t count, int timeoutMs);
// The last socket call failed only because a signal interrupted it (never on Windows).
bool SocketCallInterrupted();

class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SocketHandle socket) : socket(socket) {}
  UniqueSocket(UniqueSocket&& other) noexcept : socket(std::exchange(other.socket, kNoSocket)) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.socket, kNoSocket));
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { Reset(); }

  SocketHandle Get() const { return socket; }
  bool IsValid() const { return socket != kNoSocket; }
  void Reset(SocketHandle newSocket = kNoSocket) {
    if (socket != kNoSocket) CloseSocket(socket);
    socket = newSocket;
  }

 private:
  SocketHandle socket = kNoSocket;
};

#endif  // ZVNET_TOOLS_UNIQUESOCKET_H_
