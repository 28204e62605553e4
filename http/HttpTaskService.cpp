#include "http/HttpTaskService.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frame/Log.h"
#include "http/HttpTaskMachine.h"
#include "http/ReachabilityProbe.h"
#include "platform/win32/Clock.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/NoDestructor.h"
#include "platform/win32/Thread.h"

namespace {

// Process-wide and never destroyed: a worker thread abandoned at shutdown may still look the
// service up while the process exits.
CCriticalSection& InstanceLock() {
  static NoDestructor<CCriticalSection> lock;
  return *lock;
}

std::shared_ptr<CHttpTaskService>& Singleton() {
  static NoDestructor<std::shared_ptr<CHttpTaskService>> instance;
  return *instance;
}

bool IsCompletion(UINT message) {
  return message == WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE || message == WM_HTTPDOWNLOAD_UPLOAD_COMPLETE;
}

// A payload pointer without bytes, or a length without a pointer, reaches no callback.
void NormalisePayload(tagDataOut* out) {
  if (!out) return;
  if (!out->data || out->dataLength == 0) {
    std::free(out->data);
    out->data = nullptr;
    out->dataLength = 0;
  }
}

struct MessageName {
  UINT message;
  const wchar_t* name;
};
constexpr MessageName kMessageNames[] = {
    {WM_HTTPDOWNLOAD_CONNECTING, L"WM_HTTPDOWNLOAD_CONNECTING"},
    {WM_HTTPDOWNLOAD_CONNECTED, L"WM_HTTPDOWNLOAD_CONNECTED"},
    {WM_HTTPDOWNLOAD_DOWNLOAD_START, L"WM_HTTPDOWNLOAD_DOWNLOAD_START"},
    {WM_HTTPDOWNLOAD_PROGRESS, L"WM_HTTPDOWNLOAD_PROGRESS"},
    {WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE, L"WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE"},
    {WM_HTTPDOWNLOAD_REDIRECT, L"WM_HTTPDOWNLOAD_REDIRECT"},
    {WM_HTTPDOWNLOAD_ERROR, L"WM_HTTPDOWNLOAD_ERROR"},
    {WM_HTTPDOWNLOAD_THREAD_QUIT, L"WM_HTTPDOWNLOAD_THREAD_QUIT"},
    {WM_HTTPDOWNLOAD_UPLOAD_COMPLETE, L"WM_HTTPDOWNLOAD_UPLOAD_COMPLETE"},
    {WM_HTTPDOWNLOAD_AUTH_REQ, L"WM_HTTPDOWNLOAD_AUTH_REQ"},
};

const wchar_t* NameOf(UINT message) {
  for (const MessageName& entry : kMessageNames) {
    if (entry.message == message) return entry.name;
  }
  return nullptr;
}

// Whether the window's thread calls the callback for `message`, given the request's kind.
bool IsDelivered(UINT message, int32_t kind) {
  switch (message) {
    case WM_HTTPDOWNLOAD_PROGRESS:
    case WM_HTTPDOWNLOAD_REDIRECT:
    case WM_HTTPDOWNLOAD_UPLOAD_COMPLETE:
      return true;
    case WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE:
      return kind == HTTP_KIND_FILE || kind == HTTP_KIND_MEMORY;
    default:
      return false;  // connecting, connected, start, error, authentication: logged only
  }
}

}  // namespace

bool CHttpTaskService::CreateInstance() {
  WriteLog(LOG_TRACE, L"CHttpTaskService::CreateInstance");
  CAutoLock guard(InstanceLock());
  if (!Singleton()) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::CreateInstance True");
    auto service = std::make_shared<CHttpTaskService>();
    service->proxyWindows.SetOwner(service);
    Singleton() = std::move(service);
  }
  return Singleton() != nullptr;
}

void CHttpTaskService::DestroyInstance() {
  WriteLog(LOG_TRACE, L"CHttpTaskService::DestroyInstance");
  std::shared_ptr<CHttpTaskService> service = GetInstance();
  if (!service) return;
  WriteLog(LOG_TRACE, L"CHttpTaskService::DestroyInstance True");
  service->Close();
  CAutoLock guard(InstanceLock());
  Singleton().reset();
}

std::shared_ptr<CHttpTaskService> CHttpTaskService::GetInstance() {
  CAutoLock guard(InstanceLock());
  return Singleton();
}

CHttpTaskService::CHttpTaskService() {
  for (UINT message = WM_HTTPDOWNLOAD_CONNECTING; message <= WM_HTTPDOWNLOAD_AUTH_REQ; ++message) {
    proxyWindows.RegisterMsg(message);
  }
  proxyWindows.RegisterMsg(WM_TIMER);
  const int64_t frequency = QueryPerformanceFrequency();
  counterFrequency = static_cast<double>(frequency);
  if (frequency <= 0) {
    WriteLog(LOG_FAIL, L"CHttpTaskService QueryPerformanceFrequency Error Code %d",
             static_cast<int>(GetLastError()));
    useTickCount = true;
  }
}

CHttpTaskService::~CHttpTaskService() {
  WriteLog(LOG_TRACE, L"CHttpTaskService::~CHttpTaskService");
}

long CHttpTaskService::DownloadInMem(const tagDefHttpPar* par, HttpTaskCallback cb,
                                     unsigned int timeoutMs, int* taskId, unsigned long userParam,
                                     int workerId) {
  if (!par || !taskId) return E_FAIL;
  HttpTaskParam param;
  param.par = *par;
  param.kind = HTTP_KIND_MEMORY;
  return Accept(L"CHttpTaskService::DownloadInMem", std::move(param), cb, timeoutMs, taskId,
                userParam, workerId);
}

long CHttpTaskService::DownloadInFile(const tagDefHttpPar* par, const std::wstring& savePath,
                                      HttpTaskCallback cb, unsigned int timeoutMs, int* taskId,
                                      unsigned long userParam, int workerId, bool reportType) {
  if (!par || !taskId) return E_FAIL;
  HttpTaskParam param;
  param.par = *par;
  param.kind = HTTP_KIND_FILE;
  param.savePath = savePath;
  param.reportType = reportType;
  return Accept(L"CHttpTaskService::DownloadInFile", std::move(param), cb, timeoutMs, taskId,
                userParam, workerId);
}

long CHttpTaskService::DownloadInFileEx(const tagDefHttpPar* par, const std::wstring& savePath,
                                        const SYSTEMTIME* ifModifiedSince,
                                        unsigned long startOffset, HttpTaskCallback cb,
                                        unsigned int timeoutMs, int* taskId,
                                        unsigned long userParam, int workerId) {
  if (!par || !taskId) return E_FAIL;
  HttpTaskParam param;
  param.par = *par;
  param.kind = HTTP_KIND_FILE;
  param.savePath = savePath;
  if (ifModifiedSince) param.ifModifiedSince = *ifModifiedSince;
  param.startOffset = static_cast<uint32_t>(startOffset);
  return Accept(L"CHttpTaskService::DownloadInFile", std::move(param), cb, timeoutMs, taskId,
                userParam, workerId);
}

long CHttpTaskService::Upload(const tagDefHttpPar* par, const unsigned char* data,
                              unsigned int size, HttpTaskCallback cb, unsigned int timeoutMs,
                              int* taskId, unsigned long userParam, int workerId) {
  // Bytes announced without a buffer would be read from nowhere.
  if (!par || !taskId || (!data && size != 0)) return E_FAIL;
  HttpTaskParam param;
  param.par = *par;
  param.kind = HTTP_KIND_UPLOAD;
  param.uploadData = std::make_shared<UploadData>();
  param.uploadData->length = size;
  if (size != 0) {
    param.uploadData->data = std::make_unique<unsigned char[]>(size);
    std::memcpy(param.uploadData->data.get(), data, size);
  }
  return Accept(L"CHttpTaskService::Upload", std::move(param), cb, timeoutMs, taskId, userParam,
                workerId);
}

long CHttpTaskService::Accept(const wchar_t* name, HttpTaskParam param, HttpTaskCallback cb,
                              unsigned int timeoutMs, int* taskId, unsigned long userParam,
                              int workerId) {
  const int id = taskIds.Draw([&](int taken) {
    CAutoLock guard(recordsLock);
    return records.contains(taken);
  });
  *taskId = id;
  param.taskId = id;

  HttpTaskRecord record;
  record.callback = cb;
  record.kind = param.kind;
  record.window = proxyWindows.GetThreadWindow();
  record.timeoutMs = timeoutMs;
  record.userParam = userParam;

  CAutoLock workersGuard(workersLock);
  auto worker = workers.find(workerId);
  if (worker == workers.end() || !worker->second) {
    WriteLog(LOG_FAIL, L"%s %s", name, worker == workers.end() ? L"Fail1" : L"Fail2");
    return E_FAIL;
  }
  {
    // The record is in place before the worker can see the request, so the task's first
    // message always finds it.
    CAutoLock recordsGuard(recordsLock);
    StampStart(record);
    records[id] = record;
    if (record.window) proxyWindows.StartTimer(record.window);
  }
  if (param.kind == HTTP_KIND_UPLOAD) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::Upload for Work ID:%d   Cookie:%d", workerId, id);
  }
  worker->second->AddTask(std::move(param));
  return 0;
}

void CHttpTaskService::SetNextIdsForTesting(int taskId, int workerId) {
  taskIds.SetNextForTesting(taskId);
  workerIds.SetNextForTesting(workerId);
}

long CHttpTaskService::CreateWorker(int* workerId) {
  if (!workerId) return E_FAIL;
  auto worker = std::make_shared<CHttpTaskMachine>(TaskSink());
  if (worker->StartThread() != 0) {
    WriteLog(LOG_FAIL, L"CHttpTaskService::CreateWorker Fail2");
    return E_FAIL;
  }
  worker->SetProxy(ProxySettings());
  const int id = workerIds.Draw([&](int taken) {
    CAutoLock guard(workersLock);
    return workers.contains(taken);
  });
  *workerId = id;
  {
    CAutoLock guard(workersLock);
    workers[id] = std::move(worker);
  }
  WriteLog(LOG_TRACE, L"CHttpTaskService::CreateWorker for ID:%d", id);
  return 0;
}

long CHttpTaskService::CloseWorker(int workerId) {
  CAutoLock guard(workersLock);
  auto it = workers.find(workerId);
  if (it == workers.end()) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::CloseWorker Fail");
    return E_FAIL;
  }
  // The records of its dropped and stopped requests stay: each times out in its turn.
  if (it->second) it->second->Close();
  workers.erase(it);
  return 0;
}

long CHttpTaskService::StopTask(int taskId) {
  {
    CAutoLock guard(recordsLock);
    records.erase(taskId);
    CancelPosted(taskId);
  }
  CAutoLock guard(workersLock);
  for (auto& [id, worker] : workers) {
    if (worker && worker->StopTask(taskId) == 0) return 0;
  }
  return E_FAIL;
}

long CHttpTaskService::SetProxy(const tagHProxyInfo& info) {
  {
    CAutoLock guard(probesLock);
    proxy = info;
  }
  CAutoLock guard(workersLock);
  for (auto& [id, worker] : workers) {
    if (worker) worker->SetProxy(info);
  }
  return 0;
}

long CHttpTaskService::SetMaxTaskNum(int n) {
  maxTaskNum = n;
  return 0;
}

int CHttpTaskService::IsDestinationReachable(const wchar_t* destination) {
  CReachabilityProbe probe(ProxySettings());
  {
    CAutoLock guard(probesLock);
    if (probesClosed) return 0;
    probes.insert(&probe);
  }
  const int reachable = probe.IsUrlReachable(destination);
  CAutoLock guard(probesLock);
  probes.erase(&probe);
  return reachable;
}

tagHProxyInfo CHttpTaskService::ProxySettings() {
  CAutoLock guard(probesLock);
  return proxy;
}

TaskMessageSink CHttpTaskService::TaskSink() {
  std::weak_ptr<CHttpTaskService> weak = weak_from_this();
  return [weak](UINT message, int taskId, HttpMsgData&& data) -> long {
    std::shared_ptr<CHttpTaskService> service = weak.lock();
    if (!service) return 0;  // no service: the message is dropped with its record
    WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage True");
    service->OnDealTaskMsg(message, taskId, std::move(data));
    return 0;
  };
}

long CHttpTaskService::OnDealTaskMsg(UINT message, int taskId, HttpMsgData&& data) {
  WriteLog(LOG_TRACE, L"CHttpTaskService::OnDealTaskMsg Cookie: %d", taskId);
  if (message == WM_HTTPDOWNLOAD_THREAD_QUIT) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::OnDealTaskMsg WM_HTTPDOWNLOAD_THREAD_QUIT");
    CloseCookie(taskId);
    return 0;
  }
  NormalisePayload(data.Out());

  // Looking the record up and posting happen under one holding of the lock, so a stop or a
  // time-out either comes first (the message is dropped here) or finds the message posted
  // and cancels it.
  CAutoLock guard(recordsLock);
  auto it = records.find(taskId);
  if (it == records.end()) {
    WriteLog(LOG_FAIL, L"CHttpTaskService::OnDealTaskMsg Cookie Error");
    return E_FAIL;
  }
  const HWND window = it->second.window;
  if (!window) {
    // Nobody to deliver to. The completion ends the request: a task that reports no
    // thread-quit after it (one whose setup failed) must not time out as well.
    if (IsCompletion(message)) records.erase(it);
    return 0;
  }
  // Never 0, and after a wrap never one still listed.
  LPARAM number;
  do {
    number = nextPostedNumber;
    nextPostedNumber = number == INTPTR_MAX ? 1 : number + 1;
  } while (inFlight.count(number) != 0);
  InFlightList::node_type node;
  if (!spareNodes.empty()) {
    node = std::move(spareNodes.back());
    spareNodes.pop_back();
    node.key() = number;
  }
  PostedHttpMessage& posted = node ? inFlight.insert(std::move(node)).position->second
                                   : inFlight.try_emplace(number).first->second;
  posted.taskId = taskId;
  posted.record.emplace(it->second);
  posted.data = std::move(data);
  if (IsCompletion(message)) records.erase(it);

  WriteLog(LOG_TRACE, L"CHttpTaskService::OnDealTaskMsg PostMessage");
  if (!PostMessageW(window, message, static_cast<WPARAM>(taskId), number)) {
    WriteLog(LOG_FAIL, L"CHttpTaskService::OnDealTaskMsg PostMessage Error:%d",
             static_cast<int>(GetLastError()));
    inFlight.erase(number);  // never queued: nothing refers to it
  }
  return 0;
}

long CHttpTaskService::OnMulThreadProxyMsg(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  const int taskId = static_cast<int>(wParam);
  WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg Cookie: %d", taskId);
  if (message == WM_TIMER) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg WM_TIMER");
    CheckTimeouts(window);
    return 0;
  }
  if (message == WM_HTTPDOWNLOAD_THREAD_QUIT) {
    WriteLog(LOG_TRACE,
             L"CHttpTaskService::OnMulThreadProxyMsg WM_HTTPDOWNLOAD_THREAD_QUIT RECALL");
    return 0;
  }
  if (lParam == 0) {
    WriteLog(LOG_FAIL, L"CHttpTaskService::OnMulThreadProxyMsg Error1");
    return E_FAIL;
  }
  // Claimed before it is read: shutdown on another thread may free what is still listed.
  CDeliveryGate::Pass pass;
  InFlightList::node_type claimed = Claim(lParam, pass);
  if (!claimed || claimed.mapped().consumed || !claimed.mapped().record) {
    WriteLog(LOG_FAIL, L"CHttpTaskService::OnMulThreadProxyMsg Error2");
    return E_FAIL;
  }
  PostedHttpMessage& posted = claimed.mapped();
  const HttpTaskRecord& record = *posted.record;
  HttpMsgData& data = posted.data;
  if (!record.callback) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg Error3");
    return E_FAIL;
  }
  WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg ErrorCode:%d  PData:%d",
           static_cast<int>(data.code), static_cast<int>(reinterpret_cast<intptr_t>(data.Out())));
  const wchar_t* name = NameOf(message);
  if (!name) {
    WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg E_FAIL");
    return E_FAIL;
  }
  WriteLog(LOG_TRACE, L"CHttpTaskService::OnMulThreadProxyMsg %s", name);
  if (pass && IsDelivered(message, record.kind)) {
    record.callback(taskId, record.userParam, data.code, data.Out());
  }
  pass = {};
  // The message and its result record are freed here, after the callback.
  Recycle(std::move(claimed));
  return 0;
}

void CHttpTaskService::WaitForDelivery(int taskId) {
  gate.WaitFor(taskId);
}

void CHttpTaskService::WaitForDeliveries() {
  proxyWindows.DestroyAllWindows();
  gate.WaitForOthers();
}

void CHttpTaskService::OnThreadWindowDestroyed(HWND window) {
  std::vector<int> orphans;
  {
    CAutoLock guard(recordsLock);
    for (auto it = records.begin(); it != records.end();) {
      if (it->second.window != window) {
        ++it;
        continue;
      }
      orphans.push_back(it->first);
      it = records.erase(it);
    }
    // Their window dropped them from its queue: nothing would ever claim them.
    std::erase_if(inFlight, [&](const auto& entry) {
      return entry.second.record && entry.second.record->window == window;
    });
  }
  proxyWindows.ForgetWindow(window);
  WriteLog(LOG_TRACE, L"CHttpTaskService::OnThreadWindowDestroyed Requests %d",
           static_cast<int>(orphans.size()));
  // Nobody is left to hear of them: their tasks stop, as StopTask stops them.
  CAutoLock guard(workersLock);
  for (int taskId : orphans) {
    for (auto& [id, worker] : workers) {
      if (worker && worker->StopTask(taskId) == 0) break;
    }
  }
}

size_t CHttpTaskService::OpenRecordsForTesting() {
  CAutoLock guard(recordsLock);
  return records.size() + inFlight.size();
}

long CHttpTaskService::Close() {
  WriteLog(LOG_TRACE, L"CHttpTaskService::Close");
  gate.Close();
  {
    // A probe in flight answers 0 at once; one about to start answers 0 without traffic.
    CAutoLock guard(probesLock);
    probesClosed = true;
    for (CReachabilityProbe* probe : probes) probe->Abort();
  }
  {
    CAutoLock guard(workersLock);
    for (auto& [id, worker] : workers) {
      if (worker) worker->Close();
    }
    workers.clear();
  }
  CAutoLock guard(recordsLock);
  records.clear();
  inFlight.clear();
  spareNodes.clear();
  return 0;
}

long CHttpTaskService::CloseCookie(int taskId) {
  WriteLog(LOG_TRACE, L"CHttpTaskService::CloseCookie Cookie: %d", taskId);
  CAutoLock guard(recordsLock);
  return records.erase(taskId) != 0 ? 0 : E_FAIL;
}

void CHttpTaskService::CheckTimeouts(HWND window) {
  struct Expired {
    int taskId;
    HttpTaskRecord record;
    CDeliveryGate::Pass pass;
  };
  std::vector<Expired> expired;  // ascending task id
  {
    CAutoLock guard(recordsLock);
    bool open = false;  // a request of this window is left
    for (auto it = records.begin(); it != records.end();) {
      if (it->second.window == window && ElapsedMs(it->second) > it->second.timeoutMs) {
        WriteLog(LOG_FAIL, L"ZvHttp::Task Time Out for ID:%d", it->first);
        expired.push_back({it->first, it->second, gate.Admit({it->first, 0})});
        CancelPosted(it->first);  // nothing of it after its time-out
        it = records.erase(it);
      } else {
        open = open || it->second.window == window;
        ++it;
      }
    }
    // Under the lock that Accept stores records under: a request stored later starts it again.
    if (!open) proxyWindows.StopTimer(window);
  }
  if (expired.empty()) return;
  {
    CAutoLock guard(workersLock);
    for (const Expired& entry : expired) {
      for (auto& [id, worker] : workers) {
        if (worker && worker->StopTask(entry.taskId) == 0) break;
      }
    }
  }
  for (Expired& entry : expired) {
    // A stop made meanwhile on another thread waits for this pass; one made from inside an
    // earlier callback of this pass revokes it.
    if (entry.pass && entry.record.callback && !entry.pass.Revoked()) {
      entry.record.callback(entry.taskId, entry.record.userParam, DOWNLOAD_TIMEOUT, nullptr);
    }
    entry.pass = {};
  }
}

void CHttpTaskService::CancelPosted(int taskId) {
  // Kept listed until their window reaches them, which then drops them.
  for (auto& [number, message] : inFlight) {
    if (message.taskId == taskId) message.consumed = 1;
  }
}

CHttpTaskService::InFlightList::node_type CHttpTaskService::Claim(LPARAM number,
                                                                  CDeliveryGate::Pass& pass) {
  CAutoLock guard(recordsLock);
  auto it = inFlight.find(number);
  if (it == inFlight.end()) return {};
  // Admitted with the claim, under the lock StopTask cancels under: a stop either marks the
  // message first or finds the pass and waits for it.
  if (!it->second.consumed && it->second.record) pass = gate.Admit({it->second.taskId, 0});
  return inFlight.extract(it);
}

void CHttpTaskService::Recycle(InFlightList::node_type node) {
  // What the message held goes outside the lock.
  node.mapped() = PostedHttpMessage();
  // Enough for the messages a burst of requests keeps in flight; more are simply freed.
  constexpr size_t kSpareNodes = 64;
  CAutoLock guard(recordsLock);
  if (spareNodes.size() < kSpareNodes) spareNodes.push_back(std::move(node));
}

void CHttpTaskService::StampStart(HttpTaskRecord& record) {
  // Both readings are kept, so a record accepted before a switch to the tick count can
  // still be measured after it.
  record.startCounter = QueryPerformanceCounter();
  record.startTick = GetTickCount();
}

DWORD CHttpTaskService::ElapsedMs(const HttpTaskRecord& record) {
  if (!useTickCount) {
    if (counterFrequency != 0) {
      const double ms = static_cast<double>(QueryPerformanceCounter() - record.startCounter) /
                        counterFrequency * 1000.0;
      return static_cast<DWORD>(static_cast<int64_t>(ms));
    }
    WriteLog(LOG_FAIL, L"CHttpTaskService QueryPerformanceFrequency Error Code %d:%lf",
             static_cast<int>(GetLastError()), counterFrequency);
    useTickCount = true;
  }
  return GetTickCount() - record.startTick;
}
