// One HTTP transfer: a download into memory or a file, or an upload.
//
// A worker builds the task, calls SetExtraParam, SetProxy, then SetMemoryMode/InitDownload or
// InitUpload, and (when Init answered 0) PreRun, Run and PostRun on its own thread, then
// deletes it. Stop may be called from any thread at any time. Everything the task reports
// goes to the HTTP task service as messages (OnDealTaskMsg), never to the host directly.
//
// Threads: the driving thread runs every step and owns every field, except that the WinINet
// stand-in's engine thread reports statuses through InternetStatusCallback, which writes the
// timing record and sets the two WinINet events (both atomic or thread-safe), and Stop, which
// touches only the stop event and flag (CThreadControl). Handle-created statuses arrive on the
// driving thread during the call that makes the handle. Once CloseAll has run, no status of
// the task's handles arrives any more, so the task may be deleted.
//
// Offsets and lengths are 64-bit, so bodies of 4 GiB and more are transferred and checked
// exactly. The 8-byte progress record keeps two 32-bit values: bytes held and expected end,
// each clamped to 0xFFFFFFFE at 4 GiB and beyond, 0xFFFFFFFF meaning an unknown length.
#ifndef ZVNET_HTTP_HTTPTASK_H_
#define ZVNET_HTTP_HTTPTASK_H_

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/UrlComponents.h"
#include "http/GrowBuffer.h"
#include "http/HttpRecords.h"
#include "http/ThreadControl.h"
#include "platform/WinInet.h"
#include "platform/WinTypes.h"

class CHttpTask : public CThreadControl {
 public:
  // Where the task hands its messages: the HTTP task service's OnDealTaskMsg in production.
  // The sink takes ownership of `data` (which may be null).
  using MessageSink = long (*)(UINT message, int taskId, std::unique_ptr<HttpMsgData> data);
  // Replaces the hand-over to the service for every task (tests record messages with it);
  // null restores the service.
  static void SetMessageSinkForTesting(MessageSink sink);

  // Times measured from the stand-in's statuses, in milliseconds; kNotMeasured when not.
  struct Timing {
    DWORD nameResolution;
    DWORD connect;
    DWORD firstResponse;
    DWORD transfer;
  };
  static constexpr DWORD kNotMeasured = 0xFFFFFFFF;
  static constexpr uint64_t kUnknownLength = UINT64_MAX;

  explicit CHttpTask(int cookie);
  ~CHttpTask() override;

  int GetCookie() const { return m_nCookie; }

  virtual long SetExtraParam(uint32_t reserved);
  virtual void SetProxy(const tagHProxyInfo& proxy);
  virtual void SetMemoryMode(int ignored);
  virtual void SetPostMode(int post);
  // 0 when the task can run, E_FAIL otherwise. `path` may be null (memory download). A
  // conditional-fetch time whose fields are out of range is refused.
  virtual long InitDownload(const tagDefHttpPar* par, const SYSTEMTIME* ifModifiedSince,
                            uint32_t startOffset, const wchar_t* path, bool startNow, bool report);
  virtual long InitUpload(const tagDefHttpPar* par, std::shared_ptr<UploadData> data,
                          bool startNow);

  long PreRun() override;
  long Run() override;
  long PostRun() override;
  long Stop() override;
  // Sets DOWNLOAD_FAILED and posts the completion.
  virtual void FailTask();

  // The reachability probe, run synchronously on the calling thread: 1 reachable, 0 not.
  int IsUrlReachable(const wchar_t* destination);

  Timing GetTiming() const;
  uint64_t BytesReceived() const { return m_nBytesReceived; }
  const std::wstring& RawHeaders() const { return m_strRawHeaders; }
  const std::wstring& Url() const { return m_strUrl; }
  const UrlComponents& SplitRequestUrl() const { return m_url; }
  int HttpStatus() const { return m_nHttpStatus; }
  int ErrorCode() const { return m_nErrorCode; }
  bool ReportRequested() const { return m_bReport; }
  const tagHProxyInfo& Proxy() const { return m_proxy; }

  // The WinINet status callback of every handle the task makes; the context is the task.
  static void InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                     void* information, DWORD length);

 protected:
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

  virtual Step OpenSessionAndConnect();
  virtual Step OpenSaveFile();
  virtual Step OpenSession();
  virtual Step Connect();
  virtual Step OpenRequest();
  virtual Step SendDownloadRequest();
  virtual Step SendUploadRequest();
  virtual void CloseAll();
  virtual void CloseSaveFile();
  virtual void CloseRequest();
  virtual void CloseConnection();
  virtual void CloseSession();
  virtual long EndRequest();
  virtual long FinishSaveFile();
  virtual void OnStatusCallback(HINTERNET handle, DWORD status, void* information, DWORD length);
  virtual void NotifyConnecting();
  virtual void NotifyConnected();
  virtual void NotifyDownloadStart();
  virtual void NotifyProgress();
  virtual void NotifyComplete();
  virtual void NotifyError();
  virtual void NotifyRedirect();
  virtual void NotifyAuthRequired();
  virtual long OnDealMessage(UINT message, std::unique_ptr<HttpMsgData> data);
  virtual Step RunUpload();
  virtual Step RunDownload();
  virtual long AddRangeHeader();
  virtual long AddIfModifiedSinceHeader();
  virtual long AddFormContentType();
  virtual long QueryLastModified();
  virtual long QueryContentLength(uint64_t* length);
  virtual long QueryStatusCode();
  virtual void OnHandleCreated(HINTERNET handle, void* information);
  virtual void OnHandleClosing(HINTERNET handle, void* information);
  virtual void OnRequestComplete(HINTERNET handle, void* information);
  virtual Step WriteUploadData();
  virtual Step OnResponseOk();
  virtual Step OnRedirect();
  virtual Step OnPartialContent();
  virtual Step OnUnexpectedStatus();
  virtual void SetResult(int outcome, int errorCode);
  virtual Step ReadResponse();
  virtual long WriteSaveFile(DWORD count);
  long QueryRawHeaders();
  // The performance report after a file download (CCdnReport), when reports are on.
  virtual void ReportCdnPerf();

 private:
  struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
  };

  // Waits for the event that an asynchronous call completes through: answers StepOk once
  // `expected` came (reset), StepStopped for the stop event, StepFailed otherwise.
  Step WaitFor(CEvent& expected);
  // Applies `result` of a WinINet call that may answer ERROR_IO_PENDING.
  Step Await(BOOL result, CEvent& expected);
  HINTERNET OpenInternetSession(DWORD flags);
  bool ParseUrl(const tagDefHttpPar& par, bool allowUnknownScheme);
  std::wstring TemporaryPath() const;
  // Checks a 206 answer against what was asked; false when it cannot be appended.
  bool PartialMatchesRequest();
  Step FinishDownload(Step result);
  bool MoveIntoPlace();
  // Keeps GetLastError() of a WinINet call that failed without pending, for the completion.
  void NoteLastError();
  void NoteFileError(int error);
  // Why the transfer failed, for the failed completion.
  ZV_FAILURE_CAUSE FailureCause() const;
  std::unique_ptr<HttpMsgData> CompletionMessage();
  DWORD ElapsedSince(std::atomic<DWORD>& start);
  // Messages are held back while the task works without waiting and handed on together,
  // so that the caller's thread wakes once per batch rather than once per message. Every
  // message still goes, in order; none waits longer than a few milliseconds, and the end of
  // the task's reports takes all of them along.
  void HoldMessage(UINT message, std::unique_ptr<HttpMsgData> data);
  void FlushMessages();
  // WaitForEvents that hands held messages on once they would otherwise wait too long.
  void AwaitEvents(CEvent** signalled, bool* stop);
  void PostToSink(UINT message, std::unique_ptr<HttpMsgData> data);

  UrlComponents m_url;  // cleared by the constructor
  std::wstring m_strUrl;
  std::wstring m_strFilePath;
  uint64_t m_nOffset = 0;  // body bytes held; the resume offset at the start
  int m_bHasIfModifiedSince = 0;
  SYSTEMTIME m_stIfModifiedSince{};
  SYSTEMTIME m_stLastModified{};
  int m_nErrorCode = 0;
  uint64_t m_nTotal = 0;  // expected end of the body; kUnknownLength when unknown
  int m_nHttpStatus = 0;
  int m_nKind = HTTP_KIND_FILE;
  bool m_bReport = false;
  std::unique_ptr<GrowBuffer> m_pResponse;
  HINTERNET m_hSession = nullptr;
  HINTERNET m_hConnect = nullptr;
  HINTERNET m_hRequest = nullptr;
  std::unique_ptr<FILE, FileClose> m_pSaveFile;
  DWORD m_dwAccessType = INTERNET_OPEN_TYPE_PRECONFIG;
  CEvent m_hHandleCreatedEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};
  CEvent m_hRequestCompleteEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};
  // Whether the last completion signalled on m_hRequestCompleteEvent reported a failure: a
  // failed read leaves the caller's buffer and length as they were, so they must not be used.
  std::atomic<bool> m_bRequestFailed{false};
  // The WinINet error of the last failed call or completion (written by the engine thread).
  std::atomic<DWORD> m_dwLastError{0};
  ZV_FAILURE_CAUSE m_nFailure = ZV_FAILURE_NONE;  // a cause known without WinINet
  int m_nSystemError = 0;                         // errno of a file failure
  int m_nMaxAttempts = 2;
  int m_bPost = 0;
  DWORD m_nChunkSize = 32768;
  std::unique_ptr<unsigned char[]> m_pChunk;
  std::vector<std::pair<UINT, std::unique_ptr<HttpMsgData>>> m_held;
  DWORD m_dwHeldSince = 0;
  int m_nCookie;
  tagHProxyInfo m_proxy;
  int m_bSucceeded = 1;
  std::shared_ptr<UploadData> m_pUploadData;
  int m_bSecure = 0;
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
