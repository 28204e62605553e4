#include <gtest/gtest.h>

#include <string>

#include "netstatus/HostAddress.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"

namespace {

// Name look-ups run on a thread of a private namespace whose own hosts file names the test
// hosts, and whose resolver points at its own loopback, where no server answers: no query can
// leave the machine.
class HostAddressTest : public ::testing::Test {
 protected:
  void SetUp() override { ZVNET_REQUIRE_NAMESPACE(ns); }

  struct Answer {
    std::wstring address = L"unset";
    std::wstring name = L"unset";
  };

  Answer Resolve(const wchar_t* host) {
    Answer answer;
    const std::map<std::string, std::string> files = {
        {"/etc/hosts", "127.0.0.1 localhost\n10.20.30.40 canon.zvnet.test alias.zvnet.test\n"},
        {"/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}};
    EXPECT_TRUE(
        ns.RunOnThread([&] { ResolveHostAddress(host, answer.address, answer.name); }, files));
    return answer;
  }

  CNetNamespace ns;
  CLogCapture log;
};

// Addresses come as eight upper-case hex digits, most significant byte first. Dotted text
// needs no look-up (and so has no canonical name), except all-zero and all-ones. A host that
// does not resolve, or none at all, leaves the outputs alone.
TEST_F(HostAddressTest, HostGivesItsAddressAndOfficialName) {
  const struct {
    const wchar_t* host;
    const wchar_t* address;
    const wchar_t* name;
  } cases[] = {
      {L"192.168.0.1", L"C0A80001", L""},
      {L"0.0.0.0", L"00000000", L"0.0.0.0"},
      {L"255.255.255.255", L"FFFFFFFF", L"255.255.255.255"},
      {L"alias.zvnet.test", L"0A141E28", L"canon.zvnet.test"},
      {L"nosuch.zvnet.test", L"unset", L"unset"},
      {nullptr, L"unset", L"unset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.host ? c.host : L"(null)"));
    const Answer answer = Resolve(c.host);
    EXPECT_EQ(answer.address, c.address);
    EXPECT_EQ(answer.name, c.name);
  }
  EXPECT_EQ(log.Count("gethostbyname failed. error code is 1100"), 1);
  EXPECT_EQ(log.Count("gethostbyname failed"), 1) << "a null host is no look-up";
}

}  // namespace
