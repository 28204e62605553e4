// A network namespace made for one test ("ip netns add"), with its loopback up; deleted with
// the object. Needs root. Tests enter it on a thread of their own (RunInside), so the test's
// main thread stays where it was.
#ifndef ZVNET_TESTS_SUPPORT_NAMEDNETNS_H_
#define ZVNET_TESTS_SUPPORT_NAMEDNETNS_H_

#include <functional>
#include <string>
#include <vector>

class CNamedNetns {
 public:
  // `role` ends up in the name, which is unique to this process and object.
  explicit CNamedNetns(const std::string& role);
  ~CNamedNetns();
  CNamedNetns(const CNamedNetns&) = delete;
  CNamedNetns& operator=(const CNamedNetns&) = delete;

  bool Ok() const { return ok; }
  const std::string& Name() const { return name; }
  const std::string& Role() const { return role; }

  // "ip -n <name>" with the arguments; true when it succeeded.
  bool Ip(const std::vector<std::string>& args) const;
  // Sets a sysctl of this namespace ("net.ipv4.ip_forward", "1").
  bool Sysctl(const std::string& key, const std::string& value) const;
  // Runs `body` on a new thread that joined this namespace; returns when it ended. False
  // when the thread could not join it (body not run).
  bool RunInside(const std::function<void()>& body) const;

  // Whether this process may make namespaces at all (root with iproute2).
  static bool Available();
  // CI=true: tests that need namespaces must run.
  static bool InCi();

 private:
  std::string role;
  std::string name;
  bool ok = false;
};

// Namespace tests skip where namespaces cannot be made, except in CI, where that fails.
#define ZV_REQUIRE_NETNS()                                                        \
  do {                                                                            \
    if (!CNamedNetns::Available()) {                                              \
      if (CNamedNetns::InCi()) FAIL() << "network namespaces are required in CI"; \
      GTEST_SKIP() << "needs root to make network namespaces";                    \
    }                                                                             \
  } while (0)

#endif  // ZVNET_TESTS_SUPPORT_NAMEDNETNS_H_
