#include "http/report/ReportRequest_win.h"

#include "http/report/ReportRequest.h"

#include <utility>

#include "platform/win32/Wait.h"

ReportSendResult CReportRequest::Send(const std::wstring& url, HINTERNET session, DWORD flags,
                                      const CWaitable* stop, DWORD* error) {
  auto request = std::make_shared<CReportRequest>(url, session, flags);
  if (!Start(request)) {
    InternetCloseHandle(session);
    *error = ERROR_INTERNET_INTERNAL_ERROR;
    return ReportSendResult::kOpenFailed;
  }
  const DWORD woken = stop ? WaitForMultipleObjects({&request->finished, stop}, INFINITE)
                           : WaitForSingleObject(request->finished, INFINITE);
  if (woken != WAIT_OBJECT_0) {
    request->Stop();
    return ReportSendResult::kStopped;
  }
  if (request->answered) return ReportSendResult::kSent;
  *error = request->error;
  return ReportSendResult::kRequestFailed;
}

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
    answer = InternetOpenUrlW(session, url.c_str(), nullptr, 0, flags, 0);
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

ReportSendResult SendReportRequest(const std::wstring& url, HINTERNET session, DWORD flags,
                                   const CWaitable* stop, DWORD* error) {
  return CReportRequest::Send(url, session, flags, stop, error);
}
