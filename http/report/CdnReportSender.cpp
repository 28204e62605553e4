#include "http/report/CdnReportSender.h"

#include <atomic>
#include <cwctype>

#include "http/ProxySession.h"
#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Wait.h"

#ifdef _WIN32
#include "http/report/ReportRequest_win.h"
#endif

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

#ifdef _WIN32

// Sends on `session`, which it takes over. Windows: on a thread of its own, which a stop does
// not wait for (ReportRequest.h).
ReportSendResult Request(const std::wstring& url, HINTERNET session, const CWaitable* stop,
                         DWORD* error) {
  return CReportRequest::Send(url, session, kOpenFlags, stop, error);
}

#else

// Ends the session, and the request being opened under it, from its own thread once `stop`
// is signalled; InternetOpenUrlW then returns at once. Done ends the watch.
class CStopWatch {
 public:
  CStopWatch(const CWaitable* stop, HINTERNET session) : stop(stop), session(session) {
    if (stop) watching = thread.Start([this] { Watch(); });
  }
  ~CStopWatch() { Done(); }
  CStopWatch(const CStopWatch&) = delete;
  CStopWatch& operator=(const CStopWatch&) = delete;

  bool Started() const { return !stop || watching; }
  // Ends the watch; true when it closed the session.
  bool Done() {
    if (watching) {
      done.Set();
      thread.Wait(INFINITE);
      watching = false;
    }
    return closed;
  }

 private:
  void Watch() {
    if (WaitForMultipleObjects({stop, &done}, INFINITE) != WAIT_OBJECT_0) return;
    InternetCloseHandle(session);
    closed = true;
  }

  const CWaitable* const stop;
  const HINTERNET session;
  CEvent done{CEvent::ResetMode::kManual};
  std::atomic<bool> closed{false};
  bool watching = false;
  CThread thread;
};

// Sends on `session`, which it takes over.
ReportSendResult Request(const std::wstring& url, HINTERNET session, const CWaitable* stop,
                         DWORD* error) {
  UniqueInternetHandle owned(session);
  UniqueInternetHandle answer;
  {
    CStopWatch watch(stop, session);
    if (!watch.Started()) {
      *error = ERROR_INTERNET_INTERNAL_ERROR;
      return ReportSendResult::kOpenFailed;
    }
    answer.reset(InternetOpenUrlW(session, url.c_str(), nullptr, 0, kOpenFlags, 0));
    *error = answer ? 0 : GetLastError();
    // A session the watch closed is gone, and its request with it.
    if (watch.Done()) {
      answer.release();
      owned.release();
      *error = 0;
      return ReportSendResult::kStopped;
    }
  }
  // The answer is not read: closing its handle ends the transfer.
  return answer ? ReportSendResult::kSent : ReportSendResult::kRequestFailed;
}

#endif  // _WIN32

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
  const ReportSendResult result = Request(url, session.release(), stop, &error);
  *errorCode = static_cast<long>(error);
  return result;
}
