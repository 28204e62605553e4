// Windows: the DNS servers of the IPv4 adapters, from GetAdaptersAddresses.
#include "platform/iphelper/ResolvConf.h"

#include "platform/win32/WinTypes.h"  // winsock2.h and windows.h before iphlpapi.h

#include <iphlpapi.h>

#include <memory>

namespace {

// The adapter list asks for its buffer's size; it may grow between two calls.
constexpr int kMaxCalls = 5;

struct HeapDeleter {
  void operator()(void* block) const { ::HeapFree(::GetProcessHeap(), 0, block); }
};
using HeapBlock = std::unique_ptr<void, HeapDeleter>;

}  // namespace

std::vector<uint32_t> ReadResolvConfNameservers(const char*) {
  std::vector<uint32_t> servers;
  HeapBlock buffer;
  ULONG size = 0;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int call = 0; call < kMaxCalls && result == ERROR_BUFFER_OVERFLOW; ++call) {
    if (size != 0) {
      buffer.reset(::HeapAlloc(::GetProcessHeap(), 0, size));
      if (!buffer) return servers;
    }
    result = ::GetAdaptersAddresses(AF_INET, 0, nullptr,
                                    static_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR || !buffer) return servers;
  for (auto* adapter = static_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter;
       adapter = adapter->Next) {
    for (auto* server = adapter->FirstDnsServerAddress; server; server = server->Next) {
      const SOCKADDR* address = server->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      servers.push_back(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    }
  }
  return servers;
}
