#include "http/report/LocalDnsServers.h"

#include "http/report/AddressText.h"

void GetLocalDnsServers(std::wstring& first, std::wstring& second, const char* resolvConfPath) {
  const std::vector<uint32_t> servers = ReadResolvConfNameservers(resolvConfPath);
  if (servers.size() > 0) first = FormatAddressText(servers[0]);
  if (servers.size() > 1) second = FormatAddressText(servers[1]);
}
