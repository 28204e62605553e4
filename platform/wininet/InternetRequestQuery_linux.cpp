#include "platform/wininet/InternetRequest_linux.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/win32/MessageWindow.h"
#include "platform/win32/StringConv.h"
#include "platform/win32/SystemTime.h"

namespace {

constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

const char* HeaderNameOfQuery(DWORD code) {
  switch (code) {
    case 1:
      return "Content-Type";
    case HTTP_QUERY_CONTENT_LENGTH:
      return "Content-Length";
    case HTTP_QUERY_LAST_MODIFIED:
      return "Last-Modified";
    case HTTP_QUERY_LOCATION:
      return "Location";
    case 9:
      return "Date";
    case 37:
      return "Server";
    case 42:
      return "Set-Cookie";
    default:
      return nullptr;
  }
}

bool ParseUnsigned(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  return true;
}

// Copies `size` bytes of `data` out when the caller's buffer holds them, else answers the
// size needed. `reported` is the length the caller is told on success.
BOOL CopyOut(const void* data, DWORD size, DWORD reported, void* buffer, DWORD* length) {
  if (!buffer || *length < size) {
    *length = size;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, data, size);
  *length = reported;
  return TRUE;
}

// The digits of text[at, at + count) as a number; false when one is not a digit.
bool ReadDigits(const std::string& text, size_t at, size_t count, int& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// The form servers send ("Sun, 06 Nov 1994 08:49:37 GMT"), read without libcurl's parser,
// which tries every form a date may take and costs more than the rest of a small request's
// header handling; -1 for anything else, which that parser then reads.
time_t ReadFixedDate(const std::string& text) {
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0) {
    return -1;
  }
  const std::string_view days(kDays), months(kMonths);
  const size_t weekday = days.find(std::string_view(text).substr(0, 3));
  const size_t month = months.find(std::string_view(text).substr(8, 3));
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (weekday == std::string_view::npos || weekday % 3 != 0 || month == std::string_view::npos ||
      month % 3 != 0 || !ReadDigits(text, 5, 2, day) || !ReadDigits(text, 12, 4, year) ||
      !ReadDigits(text, 17, 2, hour) || !ReadDigits(text, 20, 2, minute) ||
      !ReadDigits(text, 23, 2, second)) {
    return -1;
  }
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int monthNumber = static_cast<int>(month / 3) + 1;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1970 || day < 1 || day > kMonthDays[monthNumber - 1] ||
      (monthNumber == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
    return -1;
  }
  // Days since 1970-01-01 of the proleptic Gregorian calendar, counted from March so that
  // the leap day ends a year.
  const int y = year - (monthNumber <= 2);
  const int era = y / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (monthNumber + (monthNumber > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t daysSinceEpoch = int64_t{era} * 146097 + dayOfEra - 719468;
  return static_cast<time_t>(daysSinceEpoch * 86400 + hour * 3600 + minute * 60 + second);
}

// An HTTP date as SYSTEMTIME (HTTP_QUERY_FLAG_SYSTEMTIME).
BOOL QueryTime(const std::string& text, void* buffer, DWORD* length) {
  time_t when = ReadFixedDate(text);
  if (when < 0) when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return Fail(ERROR_HTTP_INVALID_HEADER);
  const SYSTEMTIME out = SystemTimeFromUnix(when);
  return CopyOut(&out, sizeof out, sizeof out, buffer, length);
}

// A decimal field as a 32- or 64-bit number (HTTP_QUERY_FLAG_NUMBER, _NUMBER64).
BOOL QueryNumber(const std::string& text, bool wide64, void* buffer, DWORD* length) {
  uint64_t value = 0;
  if (!ParseUnsigned(text, value) || (!wide64 && value > 0xFFFFFFFFull)) {
    return Fail(ERROR_HTTP_INVALID_HEADER);
  }
  if (wide64) return CopyOut(&value, 8, 8, buffer, length);
  const DWORD narrow = static_cast<DWORD>(value);
  return CopyOut(&narrow, 4, 4, buffer, length);
}

// Whether every byte of `text` is ASCII; eight at a time, as the whole head is checked on
// every query of it.
bool IsAscii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & kHighBits) == 0;
}

// Text with its terminator; the length told on success leaves the terminator out.
BOOL QueryText(std::string_view text, bool wide, void* buffer, DWORD* length) {
  if (wide && IsAscii(text)) {
    // Nearly all header text: one wide character a byte, written straight into the caller's
    // buffer (the head is asked for twice, for its size and then for itself).
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
      *length = needed;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i < text.size(); ++i) {
      const wchar_t c = static_cast<unsigned char>(text[i]);
      std::memcpy(out + i * sizeof(wchar_t), &c, sizeof c);
    }
    const wchar_t terminator = L'\0';
    std::memcpy(out + text.size() * sizeof(wchar_t), &terminator, sizeof terminator);
    *length = needed - sizeof(wchar_t);
    return TRUE;
  }
  if (wide) {
    std::wstring w = Utf8ToWide(text);
    const DWORD needed = static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t));
    return CopyOut(w.c_str(), needed, needed - sizeof(wchar_t), buffer, length);
  }
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (!buffer || *length < needed) {
    *length = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, text.data(), text.size());
  static_cast<char*>(buffer)[text.size()] = '\0';
  *length = needed - 1;
  return TRUE;
}

}  // namespace

BOOL CInternetRequest::Query(DWORD level, void* buffer, DWORD* length, bool wide) {
  if (!length) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD code = level & 0xFFFF;
  const bool asText =
      !(level & (HTTP_QUERY_FLAG_SYSTEMTIME | HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64));
  std::string text;
  {
    std::lock_guard guard(mutex);
    if (!headersDone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // The head goes out from where it is kept, without a copy: it is the longest text asked
    // for, and asked for twice.
    if (code == HTTP_QUERY_RAW_HEADERS_CRLF && asText) {
      return QueryText(head.Raw(), wide, buffer, length);
    }
    if (code == HTTP_QUERY_STATUS_CODE) {
      text = std::to_string(head.Status());
    } else if (code == HTTP_QUERY_RAW_HEADERS_CRLF) {
      text = head.Raw();
    } else if (code == HTTP_QUERY_STATUS_TEXT) {
      text = head.StatusText();
    } else {
      const char* name = HeaderNameOfQuery(code);
      if (!name) return Fail(ERROR_INTERNET_INVALID_OPTION);
      if (!head.Find(name, text)) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
  }
  if (level & HTTP_QUERY_FLAG_SYSTEMTIME) return QueryTime(text, buffer, length);
  if (level & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) {
    return QueryNumber(text, (level & HTTP_QUERY_FLAG_NUMBER64) != 0, buffer, length);
  }
  return QueryText(text, wide, buffer, length);
}

BOOL CInternetRequest::SetOption(DWORD option, const void* buffer, DWORD length) {
  std::lock_guard guard(mutex);
  switch (option) {
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&securityFlags, buffer, sizeof(DWORD));
      return TRUE;
    case INTERNET_OPTION_CONNECT_RETRIES:
      // Accepted as WinINet does; libcurl tries each resolved address once.
      if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&connectRetries, buffer, sizeof(DWORD));
      return TRUE;
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
      const wchar_t* text = static_cast<const wchar_t*>(buffer);
      std::wstring value = length == 0 ? std::wstring(text) : std::wstring(text, length);
      value = value.substr(0, value.find(L'\0'));
      (option == INTERNET_OPTION_PROXY_USERNAME ? proxyUser : proxyPassword) = WideToUtf8(value);
      return TRUE;
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

BOOL CInternetRequest::QueryOption(DWORD option, void* buffer, DWORD* length) {
  if (option != INTERNET_OPTION_SECURITY_FLAGS) return Fail(ERROR_INTERNET_INVALID_OPTION);
  if (!buffer || !length || *length < sizeof(DWORD)) {
    if (length) *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::lock_guard guard(mutex);
  std::memcpy(buffer, &securityFlags, sizeof(DWORD));
  *length = sizeof(DWORD);
  return TRUE;
}
