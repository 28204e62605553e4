#include "http/report/HostAddress.h"

#include <cstdint>
#include <vector>

#include "frame/Log.h"
#include "http/report/AddressText.h"
#include "platform/iphelper/HostLookup.h"
#include "platform/win32/StringConv.h"

void ResolveHostAddress(const wchar_t* host, std::wstring& addressText,
                        std::wstring& canonicalName) {
  if (!host) return;
  const std::string name = WideToUtf8(host);

  const uint32_t dotted = InetAddr(name.c_str());
  if (dotted != 0 && dotted != kInetAddrNone) {
    addressText = FormatAddressText(dotted);
    canonicalName.clear();
    return;
  }

  std::string officialName;
  std::vector<uint32_t> addresses;
  const int error = GetHostByName(name.c_str(), officialName, addresses);
  if (error != 0) {
    WriteLog(LOG_FAIL, L"gethostbyname failed. error code is %d", error);
    return;
  }
  addressText = FormatAddressText(addresses.front());
  canonicalName = Utf8ToWide(officialName);
}
