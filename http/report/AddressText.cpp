#include "http/report/AddressText.h"

#include <cstring>
#include <cwchar>

std::wstring FormatAddressText(uint32_t address) {
  // The bytes as they lie in memory are the network order, whatever the machine's.
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  wchar_t text[9];
  std::swprintf(text, 9, L"%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}
