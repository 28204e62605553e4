#include "tests/support/NetNamespaceScope.h"

#include <fcntl.h>
#include <sched.h>

CNetNamespaceScope::CNetNamespaceScope(const CNetNamespace& ns)
    : previous(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
  entered = previous.IsValid() && ns.IsValid() && ::setns(ns.Fd(), CLONE_NEWNET) == 0;
}

CNetNamespaceScope::~CNetNamespaceScope() {
  if (entered) ::setns(previous.Get(), CLONE_NEWNET);
}
