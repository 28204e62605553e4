#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "netstatus/AddressText.h"
#include "netstatus/LocalDnsServers.h"
#include "tests/support/NetNamespace.h"

namespace {

// A resolver file with the given content, removed at the end of the test.
class CResolvFile {
 public:
  explicit CResolvFile(const std::string& content) {
    char pattern[] = "/tmp/zvnet-resolv-XXXXXX";
    int fd = ::mkstemp(pattern);
    path = pattern;
    if (fd >= 0) {
      EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      ::close(fd);
    }
  }
  ~CResolvFile() { ::unlink(path.c_str()); }
  std::string path;
};

struct Servers {
  std::wstring first = L"unset1";
  std::wstring second = L"unset2";
};

Servers Read(const std::string& content) {
  CResolvFile file(content);
  Servers servers;
  GetLocalDnsServers(servers.first, servers.second, file.path.c_str());
  return servers;
}

TEST(AddressTextTest, FourBytesMostSignificantFirstInUpperCaseHex) {
  EXPECT_EQ(FormatAddressText(htonl(0xC0A80001)), L"C0A80001");  // 192.168.0.1
  EXPECT_EQ(FormatAddressText(htonl(0x0A00000F)), L"0A00000F");  // leading zeros kept
  EXPECT_EQ(FormatAddressText(htonl(0xFFFFFFFF)), L"FFFFFFFF");
}

TEST(LocalDnsServersTest, NoServerLeavesBothOutputsAlone) {
  Servers none = Read("# nothing here\nsearch example.test\n");
  EXPECT_EQ(none.first, L"unset1");
  EXPECT_EQ(none.second, L"unset2");

  Servers missing;
  GetLocalDnsServers(missing.first, missing.second, "/nonexistent/resolv.conf");
  EXPECT_EQ(missing.first, L"unset1");
  EXPECT_EQ(missing.second, L"unset2");
}

TEST(LocalDnsServersTest, OneServerFillsOnlyTheFirst) {
  Servers one = Read("nameserver 192.168.0.1\n");
  EXPECT_EQ(one.first, L"C0A80001");
  EXPECT_EQ(one.second, L"unset2");
}

TEST(LocalDnsServersTest, FirstTwoOfThreeInFileOrder) {
  Servers three = Read("nameserver 10.1.2.3\nnameserver 172.16.0.53\nnameserver 8.8.8.8\n");
  EXPECT_EQ(three.first, L"0A010203");
  EXPECT_EQ(three.second, L"AC100035");
}

TEST(LocalDnsServersTest, OnlyIPv4NameserverLinesCount) {
  Servers servers = Read(
      "; a comment\n"
      "# nameserver 1.1.1.1\n"
      "  nameserver 2.2.2.2\n"  // the keyword must start the line
      "nameserver fd00::53\n"
      "nameserver 300.1.1.1\n"
      "nameservers 3.3.3.3\n"
      "nameserver\t10.0.0.53 # trailing comment\n"
      "nameserver 10.0.0.54;x\r\n");
  EXPECT_EQ(servers.first, L"0A000035");
  EXPECT_EQ(servers.second, L"0A000036");
}

TEST(LocalDnsServersTest, ReadsTheSystemResolverFileByDefault) {
  CNetNamespace ns;
  ZVNET_REQUIRE_NAMESPACE(ns);
  Servers servers;
  ASSERT_TRUE(ns.RunOnThread([&] { GetLocalDnsServers(servers.first, servers.second); },
                             {{"/etc/resolv.conf", "nameserver 192.168.0.1\n"}}));
  EXPECT_EQ(servers.first, L"C0A80001");
  EXPECT_EQ(servers.second, L"unset2");
}

}  // namespace
