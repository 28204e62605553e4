#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/report/HostAddress.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempFolder.h"

// Look-ups run on a thread of a private namespace whose own hosts file names the test hosts and
// whose resolver points at its own loopback, where no server answers: no query leaves the
// machine. Addresses come as eight upper-case hex digits, most significant byte first. Dotted
// text needs no look-up (and so has no canonical name), except all-zero and all-ones. A host
// that does not resolve, or none at all, leaves the outputs alone.
TEST(HostAddressTest, HostGivesItsAddressAndOfficialName) {
  CNetNamespace ns;
  ZVNET_REQUIRE_NAMESPACE(ns);
  CLogCapture log;
  const std::map<std::string, std::string> files = {
      {"/etc/hosts", "127.0.0.1 localhost\n10.20.30.40 canon.zvnet.test alias.zvnet.test\n"},
      {"/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}};
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"192.168.0.1", L"C0A80001 "},
      {L"0.0.0.0", L"00000000 0.0.0.0"},
      {L"255.255.255.255", L"FFFFFFFF 255.255.255.255"},
      {L"alias.zvnet.test", L"0A141E28 canon.zvnet.test"},
      {L"nosuch.zvnet.test", L"unset unset"},
      {nullptr, L"unset unset"},
  };
  for (const auto& [host, expected] : cases) {
    std::wstring address = L"unset", name = L"unset";
    EXPECT_TRUE(ns.RunOnThread([&] { ResolveHostAddress(host, address, name); }, files));
    EXPECT_EQ(address + L" " + name, expected) << (host ? host : L"(null)");
  }
  EXPECT_EQ(log.Count("gethostbyname failed. error code is 1100"), 1);
  EXPECT_EQ(log.Count("gethostbyname failed"), 1) << "a null host is no look-up";
}
