// Linux: the request on the sending thread, with a watch thread that closes the session when
// `stop` is signalled, which ends the stand-in's InternetOpenUrlW at once.
#include <atomic>

#include "http/ProxySession.h"
#include "http/report/ReportRequest.h"
#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"  // GetLastError
#include "platform/win32/Thread.h"
#include "platform/win32/Wait.h"

namespace {

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

}  // namespace

ReportSendResult SendReportRequest(const std::wstring& url, HINTERNET session, DWORD flags,
                                   const CWaitable* stop, DWORD* error) {
  UniqueInternetHandle owned(session);
  UniqueInternetHandle answer;
  {
    CStopWatch watch(stop, session);
    if (!watch.Started()) {
      *error = ERROR_INTERNET_INTERNAL_ERROR;
      return ReportSendResult::kOpenFailed;
    }
    answer.reset(InternetOpenUrlW(session, url.c_str(), nullptr, 0, flags, 0));
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
