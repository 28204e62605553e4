#include "tools/UniqueSocket.h"

#ifdef _WIN32
#include <mswsock.h>  // SIO_UDP_CONNRESET
#else
#include <unistd.h>

#include <cerrno>
#endif

#ifdef _WIN32

SocketHandle OpenSocket(int family, int type, int protocol) {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return kNoSocket;
  SocketHandle socket = ::socket(family, type, protocol);
  if (socket != kNoSocket && type == SOCK_DGRAM) {
    BOOL report = FALSE;
    DWORD returned = 0;
    // Without it a reply to a client that has gone fails the server's next read.
    ::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
               nullptr);
  }
  return socket;
}

SocketHandle AcceptSocket(SocketHandle listener) {
  return ::accept(listener, nullptr, nullptr);
}

void CloseSocket(SocketHandle socket) {
  ::closesocket(socket);
}

int PollSockets(pollfd* fds, size_t count, int timeoutMs) {
  return ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}

bool SocketCallInterrupted() {
  return false;
}

#else

SocketHandle OpenSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

SocketHandle AcceptSocket(SocketHandle listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

void CloseSocket(SocketHandle socket) {
  ::close(socket);
}

int PollSockets(pollfd* fds, size_t count, int timeoutMs) {
  for (;;) {
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

bool SocketCallInterrupted() {
  return errno == EINTR;
}

#endif
