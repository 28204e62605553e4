#include <gtest/gtest.h>

#include <string>

#include "netstatus/LocalDnsServers.h"
#include "tests/support/TempFolder.h"

namespace {

struct Servers {
  std::wstring first = L"unset1";
  std::wstring second = L"unset2";
};

// Reads a resolver file with this content (none at all when null).
Servers Read(const char* content) {
  CTempFolder folder;
  if (content) folder.Write("resolv.conf", content);
  Servers servers;
  GetLocalDnsServers(servers.first, servers.second, folder.Path("resolv.conf").c_str());
  return servers;
}

// The system's own file (the default) is read by the report tests (their ldip keys).
TEST(LocalDnsServersTest, FirstTwoIpv4NameserversInFileOrderAndOutputsLeftAloneOtherwise) {
  const std::pair<const char*, Servers> cases[] = {
      {nullptr, {}},
      {"# nothing here\nsearch example.test\n", {}},
      {"nameserver 192.168.0.1\n", {L"C0A80001", L"unset2"}},
      {"nameserver 10.1.2.3\nnameserver 172.16.0.53\nnameserver 8.8.8.8\n",
       {L"0A010203", L"AC100035"}},
      {"; a comment\n"
       "# nameserver 1.1.1.1\n"
       "  nameserver 2.2.2.2\n"  // the keyword must start the line
       "nameserver fd00::53\n"
       "nameserver 300.1.1.1\n"
       "nameservers 3.3.3.3\n"
       "nameserver\t10.0.0.53 # trailing comment\n"
       "nameserver 10.0.0.54;x\r\n",
       {L"0A000035", L"0A000036"}},
  };
  for (const auto& [content, expected] : cases) {
    const Servers servers = Read(content);
    EXPECT_EQ(servers.first, expected.first) << (content ? content : "no file");
    EXPECT_EQ(servers.second, expected.second) << (content ? content : "no file");
  }
}

}  // namespace
