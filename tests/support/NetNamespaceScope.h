// Moves the calling thread into a network namespace for the life of the object, and back at
// its end. Sockets the thread opens, and threads it starts, belong to that namespace.
#ifndef ZVNET_TESTS_SUPPORT_NETNAMESPACESCOPE_H_
#define ZVNET_TESTS_SUPPORT_NETNAMESPACESCOPE_H_

#include <fcntl.h>
#include <sched.h>

#include "platform/win32/UniqueFd.h"
#include "tests/support/NetNamespace.h"

class CNetNamespaceScope {
 public:
  explicit CNetNamespaceScope(const CNetNamespace& ns)
      : previous(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)),
        entered(previous.IsValid() && ns.IsValid() && ::setns(ns.Fd(), CLONE_NEWNET) == 0) {}
  ~CNetNamespaceScope() {
    if (entered) ::setns(previous.Get(), CLONE_NEWNET);
  }
  CNetNamespaceScope(const CNetNamespaceScope&) = delete;
  CNetNamespaceScope& operator=(const CNetNamespaceScope&) = delete;

  bool IsEntered() const { return entered; }

 private:
  UniqueFd previous;  // the namespace the thread came from
  bool entered;
};

#endif  // ZVNET_TESTS_SUPPORT_NETNAMESPACESCOPE_H_
