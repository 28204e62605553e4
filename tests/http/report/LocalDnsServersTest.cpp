#include <gtest/gtest.h>

#include <string>

#include "http/report/LocalDnsServers.h"
#include "tests/support/TempFolder.h"

// The system's own file (the default) is read by the report tests (their ldip keys).
TEST(LocalDnsServersTest, FirstTwoIpv4NameserversInFileOrderAndOutputsLeftAloneOtherwise) {
  const std::pair<const char*, std::wstring> cases[] = {
      {nullptr, L"unset1 unset2"},  // no file at all
      {"# nothing here\nsearch example.test\n", L"unset1 unset2"},
      {"nameserver 192.168.0.1\n", L"C0A80001 unset2"},
      {"nameserver 10.1.2.3\nnameserver 172.16.0.53\nnameserver 8.8.8.8\n", L"0A010203 AC100035"},
      {"; a comment\n"
       "# nameserver 1.1.1.1\n"
       "  nameserver 2.2.2.2\n"  // the keyword must start the line
       "nameserver fd00::53\n"
       "nameserver 300.1.1.1\n"
       "nameservers 3.3.3.3\n"
       "nameserver\t10.0.0.53 # trailing comment\n"
       "nameserver 10.0.0.54;x\r\n",
       L"0A000035 0A000036"},
  };
  for (const auto& [content, expected] : cases) {
    CTempFolder folder;
    if (content) folder.Write("resolv.conf", content);
    std::wstring first = L"unset1", second = L"unset2";
    GetLocalDnsServers(first, second, folder.Path("resolv.conf").c_str());
    EXPECT_EQ(first + L" " + second, expected) << (content ? content : "no file");
  }
}
