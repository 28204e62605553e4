// One HTTP transfer: a download into memory or a file, or an upload.
//
// A worker builds the task, calls SetExtraParam, SetProxy, then SetMemoryMode/InitDownload or
// InitUpload, and (when Init answered 0) PreRun, Run and PostRun on its own thread, then
// deletes it. Stop may be called from any thread at any time. Everything the task reports
// goes to the HTTP task service as messages (OnDealTaskMsg), never to the host directly.
#ifndef ZVNET_HTTP_HTTPTASK_H_
#define ZVNET_HTTP_HTTPTASK_H_

#include <memory>

#include "http/HttpRecords.h"
#include "platform/WinTypes.h"

class CHttpTask {
 public:
  explicit CHttpTask(int cookie);
  virtual ~CHttpTask();
  CHttpTask(const CHttpTask&) = delete;
  CHttpTask& operator=(const CHttpTask&) = delete;

  int GetCookie() const { return m_nCookie; }

  long SetExtraParam(uint32_t reserved);
  void SetProxy(const tagHProxyInfo& proxy);
  void SetMemoryMode(int ignored);
  // 0 when the task can run, E_FAIL otherwise. `path` may be null (memory download).
  long InitDownload(const tagDefHttpPar* par, const SYSTEMTIME* ifModifiedSince,
                    uint32_t startOffset, const wchar_t* path, bool startNow, bool report);
  long InitUpload(const tagDefHttpPar* par, std::shared_ptr<UploadData> data, bool startNow);

  long PreRun();
  long Run();
  long PostRun();
  long Stop();
  // Sets DOWNLOAD_FAILED and posts the completion.
  void FailTask();

  // The reachability probe, run synchronously on the calling thread: 1 reachable, 0 not.
  int IsUrlReachable(const wchar_t* destination);

 private:
  int m_nCookie;
};

#endif  // ZVNET_HTTP_HTTPTASK_H_
