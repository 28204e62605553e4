#include "platform/iphelper/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <memory>

namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

int ToSocketError(int gaiError) {
  switch (gaiError) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return WSANO_DATA;
    default:
      return WSANO_RECOVERY;
  }
}

}  // namespace

uint32_t InetAddr(const char* text) {
  in_addr address;
  if (!text || ::inet_pton(AF_INET, text, &address) != 1) return kInetAddrNone;
  return address.s_addr;
}

int GetHostByName(const char* name, std::string& officialName, std::vector<uint32_t>& addresses) {
  if (!name) return WSAHOST_NOT_FOUND;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* raw = nullptr;
  const int result = ::getaddrinfo(name, nullptr, &hints, &raw);
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
  if (result != 0) return ToSocketError(result);

  std::vector<uint32_t> found;
  for (const addrinfo* entry = list.get(); entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
    found.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
  }
  if (found.empty()) return WSANO_DATA;
  officialName = list->ai_canonname ? list->ai_canonname : name;
  addresses = std::move(found);
  return 0;
}
