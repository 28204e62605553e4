// The ZvHttp exports. Each runs under the family lock, which serialises them, and forwards
// to the service; only the probe leaves the lock before it forwards. The family holds its own
// reference to the service; Uninit drops it only after the shutdown ran and the callbacks running
// on other threads have returned, with the lock released so such a callback may itself call an
// export.
#include <memory>

#include "frame/Log.h"
#include "http/HttpTaskService.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/NoDestructor.h"
#include "zvnet/zvhttp.h"

namespace {

struct Family {
  CCriticalSection lock;
  uint32_t users = 0;                         // guarded by `lock`
  std::shared_ptr<CHttpTaskService> service;  // guarded by `lock`
};

// Never destroyed: threads may call in while the process exits.
Family& TheFamily() {
  static NoDestructor<Family> family;
  return *family;
}

}  // namespace

namespace ZvHttp {

long Init() {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  ++family.users;
  if (!family.service && CHttpTaskService::CreateInstance()) {
    family.service = CHttpTaskService::GetInstance();
  }
  WriteLog(LOG_TRACE, L"ZvHttp::Init. Refer: %d times", static_cast<int>(family.users));
  return 0;
}

long Uninit() {
  Family& family = TheFamily();
  std::shared_ptr<CHttpTaskService> closing;
  uint32_t usersLeft = 0;
  {
    CAutoLock guard(family.lock);
    const uint32_t users = family.users;
    if (users > 0) --family.users;
    usersLeft = family.users;
    if (users <= 1 && family.service) {
      closing = std::move(family.service);
      CHttpTaskService::DestroyInstance();
    }
  }
  // Callbacks still running on other threads may call the exports, so they are waited for
  // outside the family lock; the service is destroyed (and says so) before Uninit reports it.
  if (closing) {
    closing->WaitForDeliveries();
    closing.reset();
    WriteLog(LOG_TRACE, L"ZvHttp::Uninit CHttpTaskService::DestroyInstance");
  }
  WriteLog(LOG_TRACE, L"ZvHttp::Uninit. Refer: %d times", static_cast<int>(usersLeft));
  return 0;
}

long CreateWorker(int* workerId) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  WriteLog(LOG_TRACE, L"ZvHttp::CreateWorker");
  if (!family.service || !workerId) return E_FAIL;
  return family.service->CreateWorker(workerId);
}

long CloseWorker(int workerId) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  WriteLog(LOG_TRACE, L"ZvHttp::CloseWorker for ID:%d", workerId);
  if (!family.service) return E_FAIL;
  return family.service->CloseWorker(workerId);
}

long DownloadInMem(tagDefHttpPar* par, HttpTaskCallback cb, unsigned int timeoutMs, int* taskId,
                   unsigned long userParam, int workerId) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  if (!family.service || !par || !taskId) return E_FAIL;
  return family.service->DownloadInMem(par, cb, timeoutMs, taskId, userParam, workerId);
}

long DownloadInFile(tagDefHttpPar* par, const std::wstring& savePath, HttpTaskCallback cb,
                    unsigned int timeoutMs, int* taskId, unsigned long userParam, int workerId,
                    bool reportType) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  if (!family.service || !par || !taskId) return E_FAIL;
  return family.service->DownloadInFile(par, savePath, cb, timeoutMs, taskId, userParam, workerId,
                                        reportType);
}

long DownloadInFileEx(tagDefHttpPar* par, const std::wstring& savePath, SYSTEMTIME* ifModifiedSince,
                      unsigned long startOffset, HttpTaskCallback cb, unsigned int timeoutMs,
                      int* taskId, unsigned long userParam, int workerId) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  if (!family.service || !par || !taskId) return E_FAIL;
  return family.service->DownloadInFileEx(par, savePath, ifModifiedSince, startOffset, cb,
                                          timeoutMs, taskId, userParam, workerId);
}

long Upload(tagDefHttpPar* par, const unsigned char* data, unsigned int size, HttpTaskCallback cb,
            unsigned int timeoutMs, int* taskId, unsigned long userParam, int workerId) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  if (!family.service || !par || !taskId) return E_FAIL;
  return family.service->Upload(par, data, size, cb, timeoutMs, taskId, userParam, workerId);
}

long StopTask(int taskId) {
  Family& family = TheFamily();
  std::shared_ptr<CHttpTaskService> service;
  long result = E_FAIL;
  {
    CAutoLock guard(family.lock);
    WriteLog(LOG_TRACE, L"ZvHttp::StopTask for ID:%d", taskId);
    if (!family.service) return E_FAIL;
    service = family.service;
    result = service->StopTask(taskId);
  }
  // A callback of the task running on another thread may itself call an export: it is waited
  // for with the family lock released.
  service->WaitForDelivery(taskId);
  return result;
}

long SetProxy(tagHProxyInfo* info) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  // A null record is refused rather than read.
  if (!family.service || !info) return E_FAIL;
  return family.service->SetProxy(*info);
}

long SetMaxTaskNum(int n) {
  Family& family = TheFamily();
  CAutoLock guard(family.lock);
  if (!family.service) return E_FAIL;
  return family.service->SetMaxTaskNum(n);
}

int IsDestinationReachable(const wchar_t* destination) {
  Family& family = TheFamily();
  std::shared_ptr<CHttpTaskService> service;
  {
    CAutoLock guard(family.lock);
    if (!family.service) return E_FAIL;
    service = family.service;
  }
  // Probed without the family lock: against a destination that never answers it lasts until
  // the time-outs, and no other export may wait that long. The reference keeps the service
  // alive; a last Uninit meanwhile ends the probe (0).
  return service->IsDestinationReachable(destination);
}

}  // namespace ZvHttp
