// One HTTP transfer: a download into memory or a file, or an upload.
//
// A worker builds the task with the sink its messages go to, calls SetExtraParam, SetProxy,
// then SetMemoryMode/InitDownload or InitUpload, and (when Init answered 0) PreRun, Run and
// PostRun on its own thread, then deletes it. Stop may be called from any thread at any time.
// Everything the task reports goes to its sink as messages, never to the host directly.
//
// Threads: the driving thread runs every step and owns every field, except that WinINet
// reports statuses through InternetStatusCallback, which writes the timing record and sets the
// two WinINet events (both atomic or thread-safe), and Stop, which touches only the stop event
// and flag (CThreadControl). On Linux the stand-in runs the task's transfer on the driving
// thread, inside the task's waits, and reports there; Windows' WinINet reports on its own
// threads. Handle-created statuses arrive on the driving thread during the call that makes the
// handle. Once CloseAll has run (closing the request waits for its closing status), no status
// of the task's handles arrives any more, so the task may be deleted.
//
// Offsets and lengths are 64-bit, so bodies of 4 GiB and more are transferred and checked
// exactly. The 8-byte progress record keeps two 32-bit values: bytes held and expected end,
// each clamped to 0xFFFFFFFE at 4 GiB and beyond, 0xFFFFFFFF meaning an unknown length.
//
// The member definitions are spread by what they do: HttpTask.cpp (set-up, lifecycle, waits,
// handles, statuses, queries), HttpTaskDownload.cpp, HttpTaskUpload.cpp, HttpTaskRedirect.cpp
// and HttpTaskMessages.cpp (what goes to the sink).
#ifndef ZVNET_HTTP_HTTPTASK_H_
#define ZVNET_HTTP_HTTPTASK_H_

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/UrlComponents.h"
#include "http/DownloadFile.h"
#include "http/GrowBuffer.h"
#include "http/HttpRecords.h"
#include "http/TaskMessageSink.h"
#include "http/ThreadControl.h"
#include "platform/win32/WinTypes.h"
#include "platform/wininet/WinInet.h"

class CHttpTask : public CThreadControl {
 public:
  // Times measured from the stand-in's statuses, in milliseconds; kNotMeasured when not.
  struct Timing {
    DWORD nameResolution;
    DWORD connect;
    DWORD firstResponse;
    DWORD transfer;
  };
  static constexpr DWORD kNotMeasured = 0xFFFFFFFF;
  static constexpr uint64_t kUnknownLength = UINT64_MAX;

  // `sink` receives every message of the task, on the driving thread; an empty sink drops
  // them. It is not copied: it must outlive the task (a worker's sink outlives its tasks).
  CHttpTask(int cookie, const TaskMessageSink& sink);
  CHttpTask(int cookie, TaskMessageSink&& sink) = delete;  // would outlive a temporary
  ~CHttpTask() override;

  int GetCookie() const { return m_nCookie; }

  long SetExtraParam(uint32_t reserved);
  void SetProxy(const tagHProxyInfo& proxy);
  void SetMemoryMode(int ignored);
  // 0 when the task can run, E_FAIL otherwise. `path` may be null (memory download). A
  // conditional-fetch time whose fields are out of range is refused.
  long InitDownload(const tagDefHttpPar* par, const SYSTEMTIME* ifModifiedSince,
                    uint32_t startOffset, const wchar_t* path, bool startNow, bool report);
  long InitUpload(const tagDefHttpPar* par, std::shared_ptr<UploadData> data, bool startNow);

  long PreRun() override;
  long Run() override;
  long PostRun() override;
  // Sets DOWNLOAD_FAILED and posts the completion.
  void FailTask();

  Timing GetTiming() const;

  // The WinINet status callback of every handle the task makes; the context is the task.
  // The callback of a request handle being closed: notes only its closing status.
  static void CALLBACK ClosingStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                             void* information, DWORD length);
  static void CALLBACK InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                              void* information, DWORD length);

 private:
  // Step results.
  enum Step : int32_t {
    StepDone = 0,
    StepNotModified = 1,
    StepRetry = 2,
    StepOk = 3,
    StepFailed = 4,
    StepExhausted = 5,
    StepFinal = 6,
    StepStopped = 7,
    StepAuthRetry = 8,
    StepRedirected = 9,
  };
  static constexpr uint64_t kMaxMemoryBody = 0xFFFFFFFFull;  // what tagDataOut can carry
  static constexpr int kMaxRedirects = 20;                   // as browsers, whoever follows them

  // Set-up and lifecycle (HttpTask.cpp).
  bool ParseUrl(const tagDefHttpPar& par, bool allowUnknownScheme);
  // Copies into m_param and m_strHeaders what the request's later steps read.
  void KeepRequest(const tagDefHttpPar& par);
  void SetResult(int outcome, int errorCode);
  // The performance report after a file download (CCdnReport), when reports are on.
  void ReportCdnPerf();
  DWORD ElapsedSince(std::atomic<DWORD>& start);
  // Waits for the event that an asynchronous call completes through: answers StepOk once
  // `expected` came (reset), StepStopped for the stop event, StepFailed otherwise.
  Step WaitFor(CEvent& expected);
  // Applies `result` of a WinINet call that may answer ERROR_IO_PENDING.
  Step Await(BOOL result, CEvent& expected);
  // Keeps GetLastError() of a WinINet call that failed without pending, for the completion.
  void NoteLastError();
  void NoteFileError(int error);
  // Why the transfer failed, for the failed completion.
  ZV_FAILURE_CAUSE FailureCause() const;

  // Handles (HttpTask.cpp).
  Step OpenSessionAndConnect();
  Step OpenSession();
  Step Connect();
  Step OpenRequest();
  // Waits for the request handle of an HttpOpenRequestW that answered null.
  Step AwaitRequestHandle();
  void CloseAll();
  void CloseRequest();
  void CloseConnection();
  void CloseSession();

  // Statuses (HttpTask.cpp), on the driving thread: inside its waits, or during a call.
  void OnStatusCallback(HINTERNET handle, DWORD status, void* information, DWORD length);
  void OnHandleCreated(HINTERNET handle, void* information);
  void OnRequestComplete(HINTERNET handle, void* information);

  // Queries of the answer's head (HttpTask.cpp).
  long QueryLastModified();
  long QueryContentLength(uint64_t* length);
  long QueryStatusCode();
  long QueryRawHeaders();
  // One text header of the response (an HTTP_QUERY_* value); false when it cannot be read.
  bool QueryHeaderText(DWORD info, std::wstring* text);

  // Download (HttpTaskDownload.cpp).
  // A conditional-fetch time that the runtime can take: fields in range from 1900 on.
  static bool IsUsableTime(const SYSTEMTIME& time);
  Step RunDownload();
  Step SendDownloadRequest();
  Step SendDownload();
  // What the answer's status makes of the attempt.
  Step OnDownloadStatus();
  long AddRangeHeader();
  long AddIfModifiedSinceHeader();
  Step OpenSaveFile();
  long WriteSaveFile(DWORD count);
  long FinishSaveFile();
  void CloseSaveFile();
  Step OnResponseOk();
  // Checks a 206 answer against what was asked; false when it cannot be appended.
  bool PartialMatchesRequest();
  Step OnPartialContent();
  Step ReadResponse();
  // The memory body's room when the length is known.
  Step PrepareResponse();
  // The buffer of chunks that cannot be read in place, made when first needed: most bodies
  // never need it.
  unsigned char* ChunkBuffer();
  // Where a chunk of `wanted` bytes can be read in place (memory body or file buffer); null
  // when it goes through the chunk buffer.
  unsigned char* InPlaceRoom(DWORD wanted);
  // Reads up to `wanted` bytes into `into`; `*got` 0 at the end of the body.
  Step ReadChunk(unsigned char* into, DWORD wanted, DWORD* got);
  // Keeps `got` bytes just read (already in place when `inPlace`).
  Step KeepChunk(bool inPlace, DWORD got);
  Step EndOfBody();
  Step FinishDownload(Step result);
  bool MoveIntoPlace();

  // Upload (HttpTaskUpload.cpp).
  Step RunUpload();
  Step SendUploadRequest();
  Step WriteUploadData();
  Step WriteUploadBody();
  Step ReadUploadAnswer();
  long EndRequest();

  // A 301/302/303/307 answer: the next attempt's address, credentials and header lines
  // (HttpTaskRedirect.cpp).
  Step OnRedirect();

  // Messages (HttpTaskMessages.cpp). Messages are held back while the task works without
  // waiting and handed on together, so that the caller's thread wakes once per batch rather
  // than once per message. Every message still goes, in order; none waits longer than a few
  // milliseconds, and the end of the task's reports takes all of them along.
  long OnDealMessage(UINT message, HttpMsgData&& data = {});
  void HoldMessage(UINT message, HttpMsgData&& data);
  void FlushMessages();
  // WaitForEvents that hands held messages on once they would otherwise wait too long.
  void AwaitEvents(CEvent** signalled, bool* stop);
  void PostToSink(UINT message, HttpMsgData&& data);
  void NotifyConnecting();
  void NotifyConnected();
  void NotifyDownloadStart();
  void NotifyProgress();
  void NotifyComplete();
  void NotifyRedirect();
  void NotifyAuthRequired();

  UrlComponents m_url;  // cleared by the constructor
  std::wstring m_strUrl;
  std::unique_ptr<CDownloadFile> m_pSaveFile;  // a download into a file only
  uint64_t m_nOffset = 0;                      // body bytes held; the resume offset at the start
  int m_bHasIfModifiedSince = 0;
  SYSTEMTIME m_stIfModifiedSince{};
  SYSTEMTIME m_stLastModified{};
  int m_nErrorCode = 0;
  uint64_t m_nTotal = 0;  // expected end of the body; kUnknownLength when unknown
  int m_nHttpStatus = 0;
  int m_nKind = HTTP_KIND_FILE;
  bool m_bReport = false;
  std::unique_ptr<GrowBuffer> m_pResponse;  // a memory download's body or an upload's answer
  HINTERNET m_hSession = nullptr;
  HINTERNET m_hConnect = nullptr;
  HINTERNET m_hRequest = nullptr;
  CEvent m_hHandleCreatedEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};
  CEvent m_hRequestCompleteEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};
  // Set by the closing status of the request handle, WinINet's last word on it (see
  // CloseRequest). Not a wait event of the task.
  CEvent m_hRequestClosedEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};
  // Whether the last completion signalled on m_hRequestCompleteEvent reported a failure: a
  // failed read leaves the caller's buffer and length as they were, so they must not be used.
  std::atomic<bool> m_bRequestFailed{false};
  // The WinINet error of the last failed call or completion.
  std::atomic<DWORD> m_dwLastError{0};
  ZV_FAILURE_CAUSE m_nFailure = ZV_FAILURE_NONE;  // a cause known without WinINet
  int m_nSystemError = 0;                         // errno of a file failure
  std::unique_ptr<unsigned char[]> m_pChunk;
  std::vector<std::pair<UINT, HttpMsgData>> m_held;
  DWORD m_dwHeldSince = 0;
  int m_nCookie;
  const TaskMessageSink& m_sink;
  tagHProxyInfo m_proxy;
  int m_bPost = 0;
  int m_bSucceeded = 1;
  std::shared_ptr<UploadData> m_pUploadData;
  int m_bSecure = 0;
  // The request is one WinINet would follow redirects of by itself, unseen by the caller;
  // where the task follows them instead (kTaskRedirectFlags), it does so just as quietly.
  bool m_bQuietRedirect = false;
  // Redirects the task followed, reported or quiet; a chain ends after kMaxRedirects.
  int m_nRedirects = 0;
  // What later steps read of the caller's request (KeepRequest): cookies, referrer, flags,
  // and the address only when cookies are set for it. Its headers are in m_strHeaders.
  tagDefHttpPar m_param;
  // The caller's header lines as the next request sends them: a redirect to another origin
  // leaves its credential lines behind (NextHop).
  std::wstring m_strHeaders;
  std::wstring m_strRawHeaders;
  DWORD m_dwCreateTick;
  std::atomic<DWORD> m_dwPhaseStart{0};
  std::atomic<DWORD> m_dwNameResolutionMs{kNotMeasured};
  std::atomic<DWORD> m_dwConnectMs{kNotMeasured};
  std::atomic<DWORD> m_dwFirstResponseMs{kNotMeasured};
  std::atomic<DWORD> m_dwTransferMs{kNotMeasured};
  uint64_t m_nBytesReceived = 0;
  int m_nOutcome = 0;  // diagnostics only: 1 running, 2 sent, 3 finished, 4 failed
  bool m_bRangeRequested = false;
};

#endif  // ZVNET_HTTP_HTTPTASK_H_
