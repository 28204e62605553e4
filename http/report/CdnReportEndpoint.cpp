#include "http/report/CdnReportEndpoint.h"

#include <optional>

#include "frame/DataFolder.h"
#include "platform/shell/PrivateProfile.h"

namespace {

bool IsHostCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'.' || c == L'-' || c == L'_' || c == L':' || c == L'[' || c == L']';
}

}  // namespace

std::wstring ReadReportHost() {
  std::wstring config = GetConfigFilePath();
  if (config.empty()) return {};
  std::optional<std::wstring> host = ReadPrivateProfileString(L"CFG", L"REPORT_HOST", config);
  if (!host || !IsValidReportHost(*host)) return {};
  return *host;
}

bool IsValidReportHost(std::wstring_view host) {
  if (host.empty() || host.front() == L':') return false;
  for (wchar_t c : host) {
    if (!IsHostCharacter(c)) return false;
  }
  return true;
}

std::wstring BuildReportUrl(std::wstring_view host, std::string_view base64) {
  std::wstring url = L"http://";
  url += host;
  url += kReportPath;
  url += L"?ver=0&";
  url.append(base64.begin(), base64.end());
  return url;
}
