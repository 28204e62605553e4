// Records the callbacks of ZvHttp transfers, for tests and hosts that check what arrived.
//
//   CHttpCallbackLog log;
//   ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, 10000, &id, log.Param(), worker);
//   PumpUntil([&] { return log.HasTerminal(id); });
//
// The callback runs on requesting threads; everything here may be called from any thread.
// `onEvent`, when set before the first request, runs inside the callback after recording.
#ifndef ZVNET_TESTS_SUPPORT_HTTPCALLBACKLOG_H_
#define ZVNET_TESTS_SUPPORT_HTTPCALLBACKLOG_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/WinTypes.h"
#include "zvnet/zvhttp.h"

struct HttpEvent {
  int taskId = 0;
  DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
  bool hasOut = false;
  std::string data;  // a copy of out->data
  std::wstring text;
  int httpStatus = 0;
  ZV_FAILURE_CAUSE failure = ZV_FAILURE_NONE;
  int32_t systemError = 0;
  DWORD threadId = 0;  // where the callback ran

  bool IsTerminal() const { return code != DOWNLOAD_PROGRESS && code != DOWNLOAD_REDIRECT; }
  // The two values of a progress record: bytes held, expected end.
  uint32_t ProgressHeld() const { return Word(0); }
  uint32_t ProgressEnd() const { return Word(1); }

 private:
  uint32_t Word(size_t index) const;
};

// A request for `url` with flags and extra header lines.
inline tagDefHttpPar HttpPar(std::wstring url, uint32_t flags = 0, std::wstring headers = L"") {
  tagDefHttpPar par;
  par.url = std::move(url);
  par.flags = flags;
  par.headers = std::move(headers);
  return par;
}

class CHttpCallbackLog {
 public:
  CHttpCallbackLog() = default;
  CHttpCallbackLog(const CHttpCallbackLog&) = delete;
  CHttpCallbackLog& operator=(const CHttpCallbackLog&) = delete;

  static int ZV_STDCALL Callback(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                 tagDataOut* out);
  // The userParam that routes the callback to this log.
  unsigned long Param() { return reinterpret_cast<unsigned long>(this); }

  std::vector<HttpEvent> Events() const;
  std::vector<HttpEvent> EventsOf(int taskId) const;
  size_t Count() const { return Events().size(); }
  int TerminalCount(int taskId) const;
  bool HasTerminal(int taskId) const { return TerminalCount(taskId) > 0; }
  // The first terminal event of `taskId`; a default event when there is none.
  HttpEvent Terminal(int taskId) const;

  std::function<void(const HttpEvent&)> onEvent;

 private:
  mutable std::mutex mutex;
  std::vector<HttpEvent> events;
};

#endif  // ZVNET_TESTS_SUPPORT_HTTPCALLBACKLOG_H_
