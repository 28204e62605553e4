// Windows: inet_addr and gethostbyname themselves, each call inside its own use of Winsock
// 2.2 (WSAStartup ... WSACleanup).
#include "platform/iphelper/HostLookup.h"

#include <cstring>

namespace {

// One use of Winsock for the life of the object.
class CWinsockUse {
 public:
  CWinsockUse() {
    WSADATA data;
    error = ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~CWinsockUse() {
    if (error == 0) ::WSACleanup();
  }
  CWinsockUse(const CWinsockUse&) = delete;
  CWinsockUse& operator=(const CWinsockUse&) = delete;
  int Error() const { return error; }

 private:
  int error = 0;
};

}  // namespace

uint32_t InetAddr(const char* text) {
  if (!text) return kInetAddrNone;
  return ::inet_addr(text);
}

int GetHostByName(const char* name, std::string& officialName, std::vector<uint32_t>& addresses) {
  if (!name) return WSAHOST_NOT_FOUND;
  CWinsockUse winsock;
  if (winsock.Error() != 0) return winsock.Error();
  // The answer lies in the thread's own Winsock storage until the next call on this thread.
  const hostent* entry = ::gethostbyname(name);
  if (!entry) return ::WSAGetLastError();
  std::vector<uint32_t> found;
  if (entry->h_addrtype == AF_INET && entry->h_length == 4) {
    for (char** address = entry->h_addr_list; address && *address; ++address) {
      uint32_t value;
      std::memcpy(&value, *address, sizeof value);
      found.push_back(value);
    }
  }
  if (found.empty()) return WSANO_DATA;
  officialName = entry->h_name ? entry->h_name : name;
  addresses = std::move(found);
  return 0;
}
