#include "http/CdnReportSender.h"

#include <atomic>
#include <cwctype>
#include <memory>

#include "http/ProxySession.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Thread.h"
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

#ifdef _WIN32

// Windows: the request runs on a thread of its own, which owns all it touches and holds a
// reference to this module until it has ended; the worker waits for it or for `stop`. A stop
// closes the session, which ends the request under way on Windows; Wine's WinINet goes on to
// the request's time-outs instead, and the stop does not wait for them.
class CReportRequest {
 public:
  CReportRequest(std::wstring url, HINTERNET session) : url(std::move(url)), session(session) {}
  CReportRequest(const CReportRequest&) = delete;
  CReportRequest& operator=(const CReportRequest&) = delete;

  // Starts the thread, which then owns the session; false (the session still the caller's)
  // when it cannot.
  static bool Start(const std::shared_ptr<CReportRequest>& request);
  const CEvent& Finished() const { return finished; }
  // Once Finished is set: whether the endpoint answered, else WinINet's error.
  bool Answered() const { return answered; }
  DWORD Error() const { return error; }
  // From another thread: closes the session while the request is under way (which ends it),
  // or keeps the thread from sending at all.
  void Stop();

 private:
  struct Handoff {
    std::shared_ptr<CReportRequest> request;
    HMODULE module;
  };
  static DWORD WINAPI ThreadMain(void* handoff);
  void Run();

  const std::wstring url;
  const HINTERNET session;  // closed once: by Stop while sending, else by Run
  CCriticalSection lock;
  bool stopped = false;        // guarded by lock
  bool sending = false;        // guarded by lock
  bool sessionClosed = false;  // guarded by lock
  bool answered = false;       // written before finished is set
  DWORD error = 0;             // written before finished is set
  CEvent finished{CEvent::ResetMode::kManual};
};

bool CReportRequest::Start(const std::shared_ptr<CReportRequest>& request) {
  HMODULE module = nullptr;
  // Held until the thread's last instruction (FreeLibraryAndExitThread): a host may unload
  // the library after a stop while the thread still waits in WinINet.
  if (!request->finished.IsValid() ||
      !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&CReportRequest::ThreadMain), &module)) {
    return false;
  }
  auto handoff = std::make_unique<Handoff>(Handoff{request, module});
  HANDLE thread =
      ::CreateThread(nullptr, 0, &CReportRequest::ThreadMain, handoff.get(), 0, nullptr);
  if (!thread) {
    ::FreeLibrary(module);
    return false;
  }
  handoff.release();  // the thread's now
  ::CloseHandle(thread);
  return true;
}

DWORD WINAPI CReportRequest::ThreadMain(void* parameter) {
  HMODULE module;
  {
    std::unique_ptr<Handoff> handoff(static_cast<Handoff*>(parameter));
    module = handoff->module;
    handoff->request->Run();
  }
  ::FreeLibraryAndExitThread(module, 0);
}

void CReportRequest::Run() {
  bool send;
  {
    CAutoLock hold(lock);
    send = !stopped;
    sending = send;
  }
  HINTERNET answer = nullptr;
  DWORD failure = 0;
  if (send) {
    answer = InternetOpenUrlW(session, url.c_str(), nullptr, 0, kOpenFlags, 0);
    failure = answer ? 0 : GetLastError();
  }
  bool closedByStop;
  {
    CAutoLock hold(lock);
    sending = false;
    closedByStop = sessionClosed;
  }
  // A session that Stop closed is gone, and its request with it. The answer is not read:
  // closing its handle ends the transfer.
  if (!closedByStop) {
    if (answer) InternetCloseHandle(answer);
    InternetCloseHandle(session);
  }
  answered = answer != nullptr;
  error = failure;
  finished.Set();
}

void CReportRequest::Stop() {
  bool close;
  {
    CAutoLock hold(lock);
    stopped = true;
    close = sending && !sessionClosed;
    sessionClosed = sessionClosed || close;
  }
  if (close) InternetCloseHandle(session);
}

// Sends on `session`, which it takes over.
ReportSendResult Request(const std::wstring& url, HINTERNET session, const CWaitable* stop,
                         DWORD* error) {
  auto request = std::make_shared<CReportRequest>(url, session);
  if (!CReportRequest::Start(request)) {
    InternetCloseHandle(session);
    *error = ERROR_INTERNET_INTERNAL_ERROR;
    return ReportSendResult::kOpenFailed;
  }
  const DWORD woken = stop ? WaitForMultipleObjects({&request->Finished(), stop}, INFINITE)
                           : WaitForSingleObject(request->Finished(), INFINITE);
  if (woken != WAIT_OBJECT_0) {
    request->Stop();
    return ReportSendResult::kStopped;
  }
  if (request->Answered()) return ReportSendResult::kSent;
  *error = request->Error();
  return ReportSendResult::kRequestFailed;
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
