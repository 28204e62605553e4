// A private network namespace for one test, made with `ip netns add` under a name unique to
// this process (loopback up), and deleted with the object. Commands run in it through `ip -n`;
// a thread enters it with CNetNamespaceScope, or runs in it with RunOnThread.
//
// Threads: any thread may use it; every call is synchronous. Owns the namespace and a
// descriptor of it. Needs root; IsValid says whether the namespace could be made, and
// ZVNET_REQUIRE_NAMESPACE turns that into a skip (outside CI) or a failure (CI=true).
#ifndef ZVNET_TESTS_SUPPORT_NETNAMESPACE_H_
#define ZVNET_TESTS_SUPPORT_NETNAMESPACE_H_

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "platform/win32/UniqueFd.h"

class CNetNamespace {
 public:
  CNetNamespace();
  ~CNetNamespace();
  CNetNamespace(const CNetNamespace&) = delete;
  CNetNamespace& operator=(const CNetNamespace&) = delete;

  bool IsValid() const { return fd.IsValid(); }
  const std::string& Name() const { return name; }
  // For setns(CLONE_NEWNET).
  int Fd() const { return fd.Get(); }

  // Runs `ip -n <name> <args>`, the arguments split at blanks; true when it exits with 0.
  bool Ip(const std::string& args) const;
  // Adds the veth pair `a`-`b` with both ends up, and waits until both have carrier. The ends
  // get no IPv6 link-local addresses, whose arrival a second later would be a change of its own.
  bool AddLinkPair(const std::string& a, const std::string& b) const;

  // Runs `body` on a new thread that lives in this namespace, and waits for it. Each entry of
  // `files` (path, content) replaces that file for the thread alone, bound over it in a mount
  // namespace of the thread's own, as `ip netns exec` does with /etc/netns. False, with `body`
  // not run, when the thread could not be set up.
  bool RunOnThread(const std::function<void()>& body,
                   const std::map<std::string, std::string>& files = {}) const;

  // How many rtnetlink sockets of the namespace have joined exactly the groups `groups`.
  int CountNetlinkListeners(unsigned int groups) const;
  // Whether interface `link` has carrier (IFF_RUNNING).
  bool IsRunning(const std::string& link) const;
  // Writes the namespace's sysctl `key` as under /proc/sys ("net/ipv4/ip_forward").
  bool Sysctl(const std::string& key, const std::string& value) const;

 private:
  std::string name;
  UniqueFd fd;
};

// True when the tests run in CI, where every test must run.
bool IsCi();

#define ZVNET_REQUIRE_NAMESPACE(ns)                                             \
  do {                                                                          \
    if (!(ns).IsValid()) {                                                      \
      if (IsCi()) FAIL() << "cannot make a network namespace (root is needed)"; \
      GTEST_SKIP() << "cannot make a network namespace (root is needed)";       \
    }                                                                           \
  } while (0)

#endif  // ZVNET_TESTS_SUPPORT_NETNAMESPACE_H_
