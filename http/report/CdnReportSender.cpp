#include "http/report/CdnReportSender.h"

#include <cwctype>

#include "http/ProxySession.h"
#include "http/report/ReportRequest.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Wait.h"

namespace {

// Each half of the exchange; an endpoint that does not answer must not hold the worker for
// long (a minute in all).
constexpr DWORD kConnectTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 30000;
// The report is one request: a redirect in its answer is not followed.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;

bool IsSignalled(const CWaitable* stop) {
  return stop && WaitForSingleObject(*stop, 0) == WAIT_OBJECT_0;
}

// Reports go over plain http only.
bool IsHttpUrl(const std::wstring& url) {
  constexpr wchar_t kScheme[] = L"http://";
  if (url.size() < 7) return false;
  for (size_t i = 0; i < 7; ++i) {
    if (static_cast<wchar_t>(std::towlower(url[i])) != kScheme[i]) return false;
  }
  return true;
}

bool SetTimeouts(HINTERNET session) {
  DWORD connect = kConnectTimeoutMs;
  DWORD receive = kReceiveTimeoutMs;
  return InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect) &&
         InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
}

}  // namespace

ReportSendResult SendCdnReport(const std::wstring& url, const tagHProxyInfo& proxy,
                               const CWaitable* stop, long* errorCode) {
  *errorCode = 0;
  if (!IsHttpUrl(url)) {
    *errorCode = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return ReportSendResult::kRequestFailed;
  }
  if (IsSignalled(stop)) return ReportSendResult::kStopped;
  UniqueInternetHandle session(OpenProxySession(proxy, 0));
  if (!session || !SetProxyCredentials(session.get(), proxy) || !SetTimeouts(session.get())) {
    *errorCode = static_cast<long>(GetLastError());
    return ReportSendResult::kOpenFailed;
  }
  DWORD error = 0;
  const ReportSendResult result =
      SendReportRequest(url, session.release(), kOpenFlags, stop, &error);
  *errorCode = static_cast<long>(error);
  return result;
}
