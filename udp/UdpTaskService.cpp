#include "udp/UdpTaskService.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "frame/Log.h"
#include "platform/win32/Clock.h"
#include "platform/win32/Thread.h"
#include "udp/UdpTask.h"

namespace {

struct DispatchTarget {
  bool toSendCallback = false;
  UDP_ERRORCODE code = UDP_RECV_SUCCESS;
};

// 2255 to 2264: an even distance from 2255 selects the send callback, an odd one the receive
// callback. Only 2255, 2257, 2258, 2259 and 2261 are ever posted.
DispatchTarget TargetOf(UINT msg) {
  static constexpr int kCodes[] = {7, 8, 1, 0, 5, 6, 9, 10, 4, 4};
  const UINT distance = msg - WM_UDPTASK_FIRST;
  return {distance % 2 == 0, static_cast<UDP_ERRORCODE>(kCodes[distance])};
}

}  // namespace

std::shared_ptr<CUdpTaskService> CUdpTaskService::Create() {
  auto service = std::make_shared<CUdpTaskService>();
  service->proxy.SetOwner(service);
  return service;
}

CUdpTaskService::CUdpTaskService() : replies(std::make_shared<CUdpReplyStore>()) {
  for (UINT msg = WM_UDPTASK_FIRST; msg <= WM_UDPTASK_LAST; ++msg) proxy.RegisterMsg(msg);
  proxy.RegisterMsg(WM_TIMER);
  perfFrequency = static_cast<double>(QueryPerformanceFrequency());
  if (perfFrequency <= 0) {
    WriteLog(LOG_FAIL, L"CUdpTaskService QueryPerformanceFrequency Error Code %d",
             static_cast<int>(GetLastError()));
    useTickCount.store(true);
  }
}

CUdpTaskService::~CUdpTaskService() {
  Shutdown();
}

void CUdpTaskService::Shutdown() {
  std::deque<UdpOneShotRequest> held;
  std::map<int, std::shared_ptr<CUdpTask>> closing;
  std::map<int, UdpRequestRecord> dropped;
  gate.Close();
  {
    CAutoLock guard(lock);
    shutDown = true;
    held.swap(waitingRequests);
    for (auto& [id, task] : channels) task->Close();
    closing.swap(channels);
    dropped.swap(requests);
    replies->CloseAll();
  }
  // The tasks' threads end on their own and release them; nothing here waits for a thread.
}

void CUdpTaskService::WaitForDeliveries() {
  proxy.DestroyAllWindows();
  gate.WaitForOthers();
}

void CUdpTaskService::OnThreadWindowDestroyed(HWND window) {
  std::vector<std::shared_ptr<CUdpTask>> closing;  // released outside the lock
  size_t dropped = 0;
  {
    CAutoLock guard(lock);
    for (auto it = channels.begin(); it != channels.end();) {
      if (it->second->Window() != window) {
        ++it;
        continue;
      }
      it->second->Close();
      closing.push_back(std::move(it->second));
      it = channels.erase(it);
    }
    for (auto it = requests.begin(); it != requests.end();) {
      if (it->second.window != window) {
        ++it;
        continue;
      }
      it = EraseRequestLocked(it);  // the reply store forgets the cookie too
      ++dropped;
    }
    dropped += std::erase_if(waitingRequests, [&](const auto& r) { return r.window == window; });
  }
  proxy.ForgetWindow(window);
  replies->DropFor(window);  // their messages went with the window's queue
  WriteLog(LOG_TRACE, L"CUdpTaskService::OnThreadWindowDestroyed Channels %d Requests %d",
           static_cast<int>(closing.size()), static_cast<int>(dropped));
  StartWaitingRequests();
}

CUdpTaskService::Counts CUdpTaskService::CountsForTesting() {
  CAutoLock guard(lock);
  return {requests.size(), waitingRequests.size(), channels.size(), replies->HeldCount()};
}

long CUdpTaskService::CreateChannel(UDP_CHANNEL_TYPE type, const tagUdpServer* server,
                                    int* channelId) {
  if (static_cast<uint32_t>(type) > UDP_CHANNEL_DUPLEX || !server) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail0");
    return E_FAIL;
  }
  // Without a window of this thread nothing could be delivered and nothing would time out.
  HWND window = proxy.GetThreadWindow();
  if (!window) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail1");
    return E_FAIL;
  }
  auto task = std::make_shared<CUdpTask>(0, window, GetCurrentThreadId(), replies);
  if (task->CreateSocket(server->host.c_str(), server->port, kSocketTimeoutMs, kSocketTimeoutMs) !=
      S_OK) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail2");
    return E_FAIL;
  }
  const int firstRole = type == UDP_CHANNEL_DUPLEX ? UDP_THREAD_SEND : static_cast<int>(type);
  if (task->CreateThread(firstRole, true) != S_OK) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail3");
    return E_FAIL;
  }
  if (type == UDP_CHANNEL_DUPLEX && task->CreateThread(UDP_THREAD_RECV, true) != S_OK) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail3");
    task->Close();
    return E_FAIL;
  }

  int id = 0;
  {
    CAutoLock guard(lock);
    // The limit counts open channels, so closing one makes room again; ids are not reused.
    if (shutDown || channels.size() >= kMaxOpenChannels) {
      WriteLog(LOG_FAIL, L"CUdpTaskService::CreateChannel Fail4");
      task->Close();
      return E_FAIL;
    }
    id = channelIds.Draw([&](int taken) { return channels.contains(taken); });
    channels[id] = task;
  }
  *channelId = id;
  WriteLog(LOG_TRACE, L"CUdpTaskService::CreateChannel Id %d", id);
  return S_OK;
}

long CUdpTaskService::CloseChannel(int channelId) {
  {
    CAutoLock guard(lock);
    auto it = channels.find(channelId);
    if (it == channels.end()) {
      WriteLog(LOG_TRACE, L"CUdpTaskService::CloseChannel Fail");
      return E_FAIL;
    }
    it->second->Close();
    channels.erase(it);
    for (auto request = requests.begin(); request != requests.end();) {
      request = request->second.channelId == channelId ? EraseRequestLocked(request) : ++request;
    }
  }
  gate.WaitForGroup(channelId);  // no callback of the channel runs once this returns
  StartWaitingRequests();
  return S_OK;
}

long CUdpTaskService::SendData(int channelId, const char* data, UdpTaskCallback sendCallback,
                               UdpTaskCallback recvCallback, unsigned int timeoutMs,
                               unsigned long userParam, int* cookie, bool resetDomain) {
  WriteLog(LOG_TRACE, L"CUdpTaskService::SendData Channel Id %d", channelId);
  std::shared_ptr<CUdpTask> task;
  int newCookie = 0;
  {
    CAutoLock guard(lock);
    auto it = channels.find(channelId);
    if (it == channels.end()) {
      WriteLog(LOG_FAIL, L"CUdpTaskService::SendData Channel Id %d Error", channelId);
      return E_FAIL;
    }
    task = it->second;
    newCookie = DrawCookieLocked();
    if (cookie) *cookie = newCookie;
    UdpRequestRecord record;
    record.sendCallback = sendCallback;
    record.recvCallback = recvCallback;
    record.channelId = channelId;
    record.origin = task->Origin();
    record.window = task->Window();
    record.timeoutMs = timeoutMs;
    record.userParam = userParam;
    StampStart(record);
    AddRequestLocked(newCookie, record);
  }
  if (resetDomain) task->ResetDomainStatus();
  // A refused datagram leaves the record, which then ends by its time-out.
  return task->SendData(newCookie, data);
}

long CUdpTaskService::SendData(const tagUdpTaskParam* param, UdpTaskCallback callback,
                               unsigned int timeoutMs, int* cookie) {
  UdpOneShotRequest request;
  request.host = param->host.c_str();  // up to the first zero byte
  request.port = param->port;
  request.payload = param->data.c_str();
  request.window = proxy.GetThreadWindow();
  // Without a window nothing could be delivered and the request would never end.
  if (!request.window) {
    WriteLog(LOG_FAIL, L"CUdpTaskService::SendData No Window");
    return E_FAIL;
  }
  request.threadId = GetCurrentThreadId();
  request.sendCallback = callback;
  request.recvCallback = callback;
  request.timeoutMs = timeoutMs;

  std::shared_ptr<CUdpTask> task;
  {
    CAutoLock guard(lock);
    request.cookie = DrawCookieLocked();
    if (cookie) *cookie = request.cookie;
    if (shutDown) return E_FAIL;
    if (!HasRoomForOneShotLocked()) {
      waitingRequests.push_back(std::move(request));
      return S_OK;
    }
    // The record is stored with the check, so concurrent requests cannot pass the limit.
    task = std::make_shared<CUdpTask>(request.cookie, request.window, request.threadId, replies);
    AddRequestLocked(request.cookie, MakeOneShotRecord(*task, request));
  }
  StartOneShot(*task, request);
  return S_OK;
}

void CUdpTaskService::SetNextCookieForTesting(int cookie) {
  CAutoLock guard(lock);
  cookies.SetNextForTesting(cookie);
}

int CUdpTaskService::DrawCookieLocked() {
  return cookies.Draw([&](int taken) {
    return requests.contains(taken) ||
           std::any_of(waitingRequests.begin(), waitingRequests.end(),
                       [&](const UdpOneShotRequest& waiting) { return waiting.cookie == taken; });
  });
}

void CUdpTaskService::AddRequestLocked(int cookie, const UdpRequestRecord& record) {
  requests[cookie] = record;
  replies->Open(cookie, record.origin);
  proxy.StartTimer(record.window);
}

std::map<int, UdpRequestRecord>::iterator CUdpTaskService::EraseRequestLocked(
    std::map<int, UdpRequestRecord>::iterator it) {
  replies->Close(it->first);
  return requests.erase(it);
}

bool CUdpTaskService::HasRoomForOneShotLocked() const {
  return requests.size() < static_cast<size_t>(static_cast<unsigned>(maxTaskNum.load()));
}

UdpRequestRecord CUdpTaskService::MakeOneShotRecord(const CUdpTask& task,
                                                    const UdpOneShotRequest& request) {
  UdpRequestRecord record;
  record.task = &task;
  record.sendCallback = request.sendCallback;
  record.recvCallback = request.recvCallback;
  record.channelId = 0;
  record.origin = task.Origin();
  record.window = request.window;
  record.timeoutMs = request.timeoutMs;
  record.userParam = 0;
  StampStart(record);
  return record;
}

// One send and one receive on a private socket and thread; the thread then owns the task.
// Failures are not reported here: the request ends by its time-out.
void CUdpTaskService::StartOneShot(CUdpTask& task, const UdpOneShotRequest& request) {
  task.CreateSocket(request.host.c_str(), request.port, kSocketTimeoutMs, kSocketTimeoutMs);
  task.SendData(request.cookie, request.payload.c_str());
  task.CreateThread(UDP_THREAD_SEND_RECV, false);
}

void CUdpTaskService::StartWaitingRequests() {
  for (;;) {
    UdpOneShotRequest request;
    std::shared_ptr<CUdpTask> task;
    {
      CAutoLock guard(lock);
      if (shutDown || waitingRequests.empty() || !HasRoomForOneShotLocked()) return;
      request = std::move(waitingRequests.front());
      waitingRequests.pop_front();
      task = std::make_shared<CUdpTask>(request.cookie, request.window, request.threadId, replies);
      AddRequestLocked(request.cookie, MakeOneShotRecord(*task, request));
    }
    StartOneShot(*task, request);
  }
}

long CUdpTaskService::StopTask(int cookie) {
  bool erased = false;
  {
    CAutoLock guard(lock);
    for (auto it = waitingRequests.begin(); it != waitingRequests.end(); ++it) {
      if (it->cookie == cookie) {
        waitingRequests.erase(it);
        return S_OK;
      }
    }
    // Still queued on a channel: the datagram is dropped, the request ends by its time-out.
    if (RemoveQueuedLocked(cookie)) return S_OK;
    auto it = requests.find(cookie);
    if (it != requests.end()) {
      EraseRequestLocked(it);
      erased = true;
    }
  }
  // Also when the record was already gone: its time-out callback may be under way.
  gate.WaitFor(cookie);
  if (erased) StartWaitingRequests();
  return E_FAIL;
}

long CUdpTaskService::SetMaxTaskNum(int limit) {
  maxTaskNum.store(limit);
  StartWaitingRequests();
  return S_OK;
}

long CUdpTaskService::OnMulThreadProxyMsg(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  const int cookie = static_cast<int>(wParam);
  WriteLog(LOG_TRACE, L"CUdpTaskService::OnMulThreadProxyMsg Cookie:%d", cookie);
  if (msg == WM_TIMER) {
    CheckTimeOut(window);
    return S_OK;
  }
  // A reply, if any, is ours from here on and is freed on every path. The message of a
  // request's last outcome ends the request here, under the same lock as the time-out pass,
  // so a request gets that outcome or its time-out, never both.
  LPARAM origin = lParam;  // of the task, when a failed send ends the request
  UdpOutPtr out;
  if (msg == WM_UDPTASK_RECV_COMPLETE) {
    origin = 0;
    if (lParam) out = replies->Claim(lParam, &origin);
  }
  const bool ends = msg == WM_UDPTASK_RECV_COMPLETE ? out != nullptr : lParam != 0;
  UdpRequestRecord record;
  CDeliveryGate::Pass pass;  // admitted with the record, so a stop after it waits for it
  {
    CAutoLock guard(lock);
    auto it = requests.find(cookie);
    if (it == requests.end()) {
      WriteLog(LOG_FAIL, L"CUdpTaskService::OnMulThreadProxyMsg Cookie Invalid");
      return E_FAIL;
    }
    // A server answering with the cookie of a request that another channel or one-shot task
    // sent elsewhere: the reply is not for this request.
    if (origin && origin != it->second.origin) {
      WriteLog(LOG_FAIL, L"CUdpTaskService::OnMulThreadProxyMsg Cookie Foreign");
      return E_FAIL;
    }
    record = it->second;
    pass = gate.Admit({cookie, record.channelId});
    if (ends) EraseRequestLocked(it);
  }
  UdpTaskCallback callback = nullptr;
  DispatchTarget target;
  if (msg >= WM_UDPTASK_FIRST && msg <= WM_UDPTASK_LAST_CALLBACK) {
    target = TargetOf(msg);
    callback = target.toSendCallback ? record.sendCallback : record.recvCallback;
  }
  if (msg == WM_UDPTASK_RECV_COMPLETE) {
    if (!out) callback = nullptr;  // a reply message without its reply delivers nothing
    if (out) target.code = out->code;
  }
  if (!callback) {
    WriteLog(LOG_TRACE, L"CUdpTaskService::OnMulThreadProxyMsg CallBack NULL");
  } else {
    tagUdpOut* const reply = msg == WM_UDPTASK_RECV_COMPLETE ? out.get() : nullptr;
    if (pass) callback(cookie, record.userParam, target.code, reply);
  }
  // After the callback, as the end used to follow it: a held-back request starts only once
  // the host has had the outcome that made room for it.
  if (ends) StartWaitingRequests();
  return callback ? S_OK : E_FAIL;
}

void CUdpTaskService::CheckTimeOut(HWND window) {
  struct Expired {
    int cookie;
    UdpRequestRecord record;
    CDeliveryGate::Pass pass;
  };
  std::vector<Expired> expired;  // ascending cookies
  {
    CAutoLock guard(lock);
    bool open = false;  // a request of this window is left
    for (auto it = requests.begin(); it != requests.end();) {
      const UdpRequestRecord& record = it->second;
      if (record.window != window || ElapsedMs(record) <= record.timeoutMs) {
        open = open || record.window == window;
        ++it;
        continue;
      }
      WriteLog(LOG_FAIL, L"ZvUdp::Task Time Out for ID:%d", it->first);
      RemoveQueuedLocked(it->first);
      expired.push_back({it->first, record, gate.Admit({it->first, record.channelId})});
      it = EraseRequestLocked(it);
    }
    // Under the lock that requests are stored under: one stored later starts it again.
    if (!open) proxy.StopTimer(window);
  }
  if (expired.empty()) return;
  StartWaitingRequests();
  for (Expired& entry : expired) {
    const UdpRequestRecord& record = entry.record;
    // A stop made meanwhile on another thread waits for this pass; one made from inside an
    // earlier callback of this pass revokes it.
    if (!entry.pass || !record.recvCallback || entry.pass.Revoked()) {
      entry.pass = {};
      continue;
    }
    record.recvCallback(entry.cookie, record.userParam, UDP_TASK_TIMEOUT, nullptr);
    entry.pass = {};
  }
}

bool CUdpTaskService::RemoveQueuedLocked(int cookie) {
  for (auto& [id, task] : channels) {
    if (task->RemoveTask(cookie) == S_OK) return true;
  }
  return false;
}

void CUdpTaskService::StampStart(UdpRequestRecord& record) {
  if (!useTickCount.load()) record.startCounter = QueryPerformanceCounter();
  if (useTickCount.load()) record.startTick = GetTickCount();
}

DWORD CUdpTaskService::ElapsedMs(const UdpRequestRecord& record) {
  if (!useTickCount.load()) {
    const double ticks = static_cast<double>(QueryPerformanceCounter() - record.startCounter);
    return static_cast<DWORD>(ticks / perfFrequency * 1000.0);
  }
  return GetTickCount() - record.startTick;
}
