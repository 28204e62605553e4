#include "http/HttpTaskMachine.h"

#include <optional>
#include <utility>

#include "frame/Log.h"
#include "http/HttpTask.h"
#include "platform/win32/Ime.h"
#include "platform/win32/PostBatch.h"
#include "platform/win32/Wait.h"

namespace {
constexpr DWORD kCloseWaitMs = 30000;
}  // namespace

CHttpTaskMachine::CHttpTaskMachine(TaskMessageSink sink) : sink(std::move(sink)) {}

CHttpTaskMachine::~CHttpTaskMachine() {
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::~CHttpTaskMachine");
  CAutoLock guard(lock);
  queue.clear();
}

long CHttpTaskMachine::StartThread() {
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::StartThread");
  if (thread.IsStarted()) return E_FAIL;
  startedEvent = std::make_unique<CEvent>(CEvent::ResetMode::kAuto);
  if (!startedEvent->IsValid()) {
    WriteLog(LOG_FAIL, L"CHttpTaskMachine::StartThread Fail1");
    return E_FAIL;
  }
  // The thread keeps the worker alive while it runs, so that one abandoned by Close (after
  // its 30 seconds) never touches a deleted worker.
  auto self = shared_from_this();
  if (!thread.Start([self]() mutable {
        self->MainProc();
        self.reset();
      })) {
    WriteLog(LOG_FAIL, L"CHttpTaskMachine::StartThread Fail2");
    return E_FAIL;
  }
  if (startedEvent->Wait(INFINITE) != WAIT_OBJECT_0) {
    WriteLog(LOG_FAIL, L"CHttpTaskMachine::StartThread Fail3");
    quitEvent.Set();  // the caller drops this worker: let its thread end
    return E_FAIL;
  }
  return 0;
}

long CHttpTaskMachine::SetProxy(const tagHProxyInfo& info) {
  CAutoLock guard(lock);
  proxy = info;
  return 0;
}

void CHttpTaskMachine::AddTask(HttpTaskParam param) {
  CAutoLock guard(lock);
  // The thread resets the event only when it finds the queue empty, so a queue that already
  // holds a request has its signal on the way or will be looked at again: a caller queuing
  // many requests at once then wakes the thread once, not once per request.
  const bool wasEmpty = queue.empty();
  queue.push_back(std::move(param));
  if (wasEmpty) workEvent.Set();
}

long CHttpTaskMachine::StopTask(int taskId) {
  CAutoLock guard(lock);
  if (current && current->GetCookie() == taskId) {
    current->Stop();  // it ends on its own; the task posts nothing more
    return 0;
  }
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (it->taskId == taskId) {
      queue.erase(it);
      return 0;
    }
  }
  return E_FAIL;
}

long CHttpTaskMachine::Close() {
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::Close");
  if (!thread.IsStarted() || thread.Wait(0) == WAIT_OBJECT_0) return 0;
  {
    CAutoLock guard(lock);
    queue.clear();
    if (current) current->Stop();
  }
  quitEvent.Set();
  if (thread.Wait(kCloseWaitMs) == WAIT_OBJECT_0) {
    WriteLog(LOG_TRACE, L"CHttpTaskMachine::Close True");
  } else {
    WriteLog(LOG_FAIL, L"CHttpTaskMachine::Close thread can't be closed.");
  }
  return 0;
}

DWORD CHttpTaskMachine::MainProc() {
  ImmDisableIME(0);
  startedEvent->Set();
  // While tasks follow one another, the callers' threads are woken for their messages at most
  // every few milliseconds rather than once per task; the messages are queued at once.
  std::optional<CPostBatch> batch;
  for (;;) {
    bool hasTask;
    {
      CAutoLock guard(lock);
      hasTask = !queue.empty();
      if (!hasTask) workEvent.Reset();
    }
    if (!hasTask) {
      batch.reset();  // every caller hears all there is before this worker sleeps
      WriteLog(LOG_TRACE, L"CHttpTaskMachine::HasTask empty");
      if (WaitForMultipleObjects({&workEvent, &quitEvent}, INFINITE) != WAIT_OBJECT_0) break;
    }
    if (!batch) batch.emplace();
    CPostBatch::WakeIfDue();
    if (CHttpTask* task = GetTask()) {
      task->PreRun();
      task->Run();
      task->PostRun();
    }
    CAutoLock guard(lock);
    current.reset();
  }
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::MainProc Exit");
  return 0;
}

CHttpTask* CHttpTaskMachine::GetTask() {
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::GetTask");
  std::unique_ptr<CHttpTask> failedTask;
  CHttpTask* task = nullptr;
  {
    // Taking the request and making it `current` happen under one holding, so StopTask
    // always finds the id in one of the two places.
    CAutoLock guard(lock);
    if (queue.empty()) {
      WriteLog(LOG_FAIL, L"CHttpTaskMachine::GetTask::It will never happen!");
      return nullptr;
    }
    HttpTaskParam param = std::move(queue.front());
    queue.pop_front();
    bool failed = false;
    std::unique_ptr<CHttpTask> built = BuildTask(param, failed);
    if (failed) {
      failedTask = std::move(built);
    } else {
      current = std::move(built);
      task = current.get();
    }
  }
  // Reported outside the lock: the report goes through the service's locks.
  if (failedTask) failedTask->FailTask();
  return task;
}

std::unique_ptr<CHttpTask> CHttpTaskMachine::BuildTask(HttpTaskParam& param, bool& failed) {
  WriteLog(LOG_TRACE, L"CHttpTaskMachine::BuildTask");
  auto task = std::make_unique<CHttpTask>(param.taskId, sink);
  task->SetExtraParam(param.par.reserved);
  task->SetProxy(proxy);
  long result = E_FAIL;
  switch (param.kind) {
    case HTTP_KIND_MEMORY:
      task->SetMemoryMode(1);
      result = task->InitDownload(&param.par, nullptr, 0, nullptr, false, false);
      break;
    case HTTP_KIND_FILE:
      result =
          task->InitDownload(&param.par, param.ifModifiedSince ? &*param.ifModifiedSince : nullptr,
                             param.startOffset, param.savePath.c_str(), false, param.reportType);
      break;
    case HTTP_KIND_UPLOAD:
      result = task->InitUpload(&param.par, std::move(param.uploadData), false);
      break;
    default:
      break;
  }
  failed = result != 0;
  return task;
}
