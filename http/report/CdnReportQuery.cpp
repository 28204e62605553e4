#include "http/report/CdnReportQuery.h"

#include "platform/win32/AnsiCodePage.h"

namespace {

std::wstring Decimal(DWORD value) {
  return std::to_wstring(static_cast<int32_t>(value));
}

void AppendEscaped(std::wstring& out, uint8_t byte) {
  constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  out += L'%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

bool IsAsciiAlnum(uint8_t byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 'a' && byte <= 'z');
}

}  // namespace

std::wstring_view CdnReportFailureWord(int32_t errorCode) {
  switch (errorCode) {
    case 0:
    case 1:
    case 2:
    case 3:
      return L"";
    case 4:
      return L"fail_general";
    case 5:
      return L"fail_sever_close";
    case 6:
      return L"fail_write_failed";
    case 7:
      return L"fail_network_failed";
    case 8:
      return L"fail_file_size_erroe";
    case 9:
      return L"fail_file_no_found";
    case 10:
      return L"fail_server_unavail";
    case 11:
      return L"fail_user_abort";
    case 12:
      return L"fail_timeout";
    default:
      return L"unkown";
  }
}

std::wstring BuildCdnReportQuery(const CdnReportFacts& facts, const CdnReportLookups& lookups) {
  const bool resolved = !lookups.address.empty();
  auto measured = [resolved](DWORD ms) { return resolved && ms != kNotMeasured; };

  std::wstring query = L"pid=ime&type=";
  query += facts.reportFlag ? L"1" : L"0";
  query += L"&fr=";
  query += resolved ? CdnReportFailureWord(facts.errorCode) : L"dns_failed";
  query += L"&rip=" + lookups.address;
  query += L"&cname=" + lookups.canonicalName;
  query += L"&dnst=";
  if (measured(facts.nameResolutionMs)) query += Decimal(facts.nameResolutionMs);
  query += L"&ldip1=" + lookups.dnsServer1;
  query += L"&ldip2=" + lookups.dnsServer2;
  query += L"&ctime=";
  if (measured(facts.connectMs)) query += Decimal(facts.connectMs);
  query += L"&rtime=";
  query += L"&dtime=";
  if (measured(facts.firstResponseMs)) query += Decimal(facts.firstResponseMs);
  query += L"&dsize=";
  // Unsigned and 64-bit: a download past 2 GiB must not report a negative or cut size.
  if (resolved && facts.bytesReceived != 0) query += std::to_wstring(facts.bytesReceived);
  query += L"&dspeed=";
  if (measured(facts.firstResponseMs) && facts.firstResponseMs != 0 && facts.bytesReceived != 0) {
    // Whole bytes per second, written as a number with two decimals that are always zero.
    uint64_t speed = facts.bytesReceived * 1000 / facts.firstResponseMs;
    query += std::to_wstring(speed) + L".00";
  }
  query += L"&tt=";
  if (measured(facts.transferMs)) query += Decimal(facts.transferMs);
  query += L"&hc=";
  if (resolved && facts.httpStatus != 0) query += std::to_wstring(facts.httpStatus);
  query += L"&url=" + EscapeForReport(facts.url);
  query += L"&usrip=";
  query += L"&trace=" + lookups.traceHops;
  query += L"&key=end";
  return query;
}

// The search for "Server:[[:space:]]*QMR", written out: "Server:", any run of the blank
// characters of [[:space:]], then "QMR".
bool MatchesCdnServer(const std::wstring& headers) {
  constexpr std::wstring_view kName = L"Server:";
  constexpr std::wstring_view kProduct = L"QMR";
  constexpr std::wstring_view kSpace = L" \t\n\v\f\r";
  const std::wstring_view text = headers;
  for (size_t at = text.find(kName); at != std::wstring_view::npos; at = text.find(kName, at + 1)) {
    size_t product = text.find_first_not_of(kSpace, at + kName.size());
    if (product != std::wstring_view::npos && text.substr(product, kProduct.size()) == kProduct) {
      return true;
    }
  }
  return false;
}

std::wstring EscapeForReport(std::wstring_view text) {
  const std::string bytes = WideToAnsi(text);
  std::wstring out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (IsAsciiAlnum(byte)) {
      out += static_cast<wchar_t>(byte);
      continue;
    }
    AppendEscaped(out, byte);
    if (byte >= 0x82 && byte <= 0xFD && i + 1 < bytes.size() &&
        static_cast<uint8_t>(bytes[i + 1]) > 0x41) {
      AppendEscaped(out, static_cast<uint8_t>(bytes[++i]));
    }
  }
  return out;
}
