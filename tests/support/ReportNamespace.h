// One private network namespace for a whole test process that downloads and reports. Threads
// and their kept-alive connections stay in the namespace they were started from, so every
// test of the process runs in this one (RunInside). Inside, the hosts file names only
// localhost, and the resolver points at loopback addresses where nothing answers: no query
// leaves the machine, and the report's DNS servers are 127.0.0.2 and 127.0.0.3.
#ifndef ZVNET_TESTS_SUPPORT_REPORTNAMESPACE_H_
#define ZVNET_TESTS_SUPPORT_REPORTNAMESPACE_H_

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/support/NetNamespace.h"

class CReportNamespace : public testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

  // The namespace (for ZVNET_REQUIRE_NAMESPACE and sysctls).
  static const CNetNamespace& Get();
  // Runs `body` on a thread inside it; false when that could not be set up.
  static bool RunInside(const std::function<void()>& body);

 private:
  static std::unique_ptr<CNetNamespace> ns;
};

#endif  // ZVNET_TESTS_SUPPORT_REPORTNAMESPACE_H_
