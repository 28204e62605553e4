#include "netstatus/AddressText.h"

#include <arpa/inet.h>

#include <cwchar>

std::wstring FormatAddressText(uint32_t address) {
  wchar_t text[9];
  std::swprintf(text, 9, L"%08X", static_cast<unsigned int>(ntohl(address)));
  return text;
}
