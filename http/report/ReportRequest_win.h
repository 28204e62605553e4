// Windows: a report's request on a thread of its own, which owns all it touches and holds a
// reference to this module until it has ended; the sending worker waits for it or for `stop`.
// A stop closes the session, which ends the request under way on Windows; Wine's WinINet goes
// on to the request's time-outs instead, and the stop does not wait for them.
#ifndef ZVNET_HTTP_REPORT_REPORTREQUEST_WIN_H_
#define ZVNET_HTTP_REPORT_REPORTREQUEST_WIN_H_

#include <memory>
#include <string>

#include "http/report/CdnReportSender.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/Event.h"
#include "platform/wininet/WinInet.h"

class CReportRequest {
 public:
  // Opens `url` on `session`, which it takes over, with InternetOpenUrlW's `flags`; returns
  // once the endpoint answered, the request failed or `stop` (may be null) was signalled.
  // `*error` gets WinINet's error when the request could not start or failed.
  static ReportSendResult Send(const std::wstring& url, HINTERNET session, DWORD flags,
                               const CWaitable* stop, DWORD* error);

  CReportRequest(std::wstring url, HINTERNET session, DWORD flags)
      : url(std::move(url)), session(session), flags(flags) {}
  CReportRequest(const CReportRequest&) = delete;
  CReportRequest& operator=(const CReportRequest&) = delete;

 private:
  struct Handoff {
    std::shared_ptr<CReportRequest> request;
    HMODULE module;
  };
  // Starts the thread, which then owns the session; false (the session still the caller's)
  // when it cannot.
  static bool Start(const std::shared_ptr<CReportRequest>& request);
  static DWORD WINAPI ThreadMain(void* handoff);
  void Run();
  // From another thread: closes the session while the request is under way (which ends it),
  // or keeps the thread from sending at all.
  void Stop();

  const std::wstring url;
  const HINTERNET session;  // closed once: by Stop while sending, else by Run
  const DWORD flags;
  CCriticalSection lock;
  bool stopped = false;        // guarded by lock
  bool sending = false;        // guarded by lock
  bool sessionClosed = false;  // guarded by lock
  bool answered = false;       // written before finished is set
  DWORD error = 0;             // written before finished is set
  CEvent finished{CEvent::ResetMode::kManual};
};

#endif  // ZVNET_HTTP_REPORT_REPORTREQUEST_WIN_H_
