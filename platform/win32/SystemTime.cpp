#include "platform/win32/SystemTime.h"

#include <cstdint>

SYSTEMTIME SystemTimeFromUnix(std::time_t when) {
  std::tm parts{};
  ::gmtime_r(&when, &parts);
  SYSTEMTIME out{};
  out.wYear = static_cast<uint16_t>(parts.tm_year + 1900);
  out.wMonth = static_cast<uint16_t>(parts.tm_mon + 1);
  out.wDayOfWeek = static_cast<uint16_t>(parts.tm_wday);
  out.wDay = static_cast<uint16_t>(parts.tm_mday);
  out.wHour = static_cast<uint16_t>(parts.tm_hour);
  out.wMinute = static_cast<uint16_t>(parts.tm_min);
  out.wSecond = static_cast<uint16_t>(parts.tm_sec);
  return out;
}
