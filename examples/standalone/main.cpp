// A host with its own poll() loop: zvnet's descriptor sits beside the host's own (here,
// standard input), and DispatchPending runs whenever zvnet's turns readable.
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "zvnet/zvnet.h"

int main() {
  pollfd fds[2] = {{ZvMsgLoop::GetWaitFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  if (fds[0].fd < 0) {
    std::fprintf(stderr, "no message loop descriptor\n");
    return 1;
  }
  // Without requests nothing arrives: one quiet round shows the loop is alive.
  int ready = ::poll(fds, 1, 100);
  long dispatched = ready > 0 ? ZvMsgLoop::DispatchPending() : 0;
  std::printf("message loop ready (fd %d), dispatched %ld\n", fds[0].fd, dispatched);
  return 0;
}
