// A worker: one thread that runs queued HTTP requests one after another, oldest first.
//
// Threads: the exports' callers (through the service: StartThread, SetProxy, AddTask,
// StopTask, Close); requesting threads' time-out passes (StopTask); the worker thread itself
// (MainProc, GetTask, BuildTask and the running task). `lock` guards `queue`, `current` and
// `proxy`; it is taken after the service's workers lock and before a task's own lock, and is
// never held while a task runs or while the worker reports to the service.
//
// Owned by the service through a std::shared_ptr; the worker thread holds a second reference
// while it runs, so a thread abandoned by Close after 30 seconds can finish safely. The
// worker owns `current` and every queued request. Every task it builds reports to `sink`.
#ifndef ZVNET_HTTP_HTTPTASKMACHINE_H_
#define ZVNET_HTTP_HTTPTASKMACHINE_H_

#include <deque>
#include <memory>

#include "http/HttpRecords.h"
#include "http/TaskMessageSink.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/Event.h"
#include "platform/win32/Thread.h"
#include "platform/win32/WinTypes.h"

class CHttpTask;

class CHttpTaskMachine : public std::enable_shared_from_this<CHttpTaskMachine> {
 public:
  explicit CHttpTaskMachine(TaskMessageSink sink);
  virtual ~CHttpTaskMachine();
  CHttpTaskMachine(const CHttpTaskMachine&) = delete;
  CHttpTaskMachine& operator=(const CHttpTaskMachine&) = delete;

  // Starts the worker thread and waits until it runs; E_FAIL when called twice or on failure.
  long StartThread();
  long SetProxy(const tagHProxyInfo& info);
  void AddTask(HttpTaskParam param);
  // 0 when the id was running here (it is stopped) or queued here (it is dropped).
  long StopTask(int taskId);
  // Drops the queue (no callback for those requests), stops the running task, and gives the
  // thread up to 30 seconds to end. The caller drops the worker right after.
  long Close();

 private:
  DWORD MainProc();
  // The next task, made `current`; null when there was none or its setup failed.
  CHttpTask* GetTask();
  // A task for `param`; `failed` when its setup did not succeed.
  std::unique_ptr<CHttpTask> BuildTask(HttpTaskParam& param, bool& failed);

  std::deque<HttpTaskParam> queue;
  CThread thread;
  std::unique_ptr<CEvent> startedEvent;  // made by StartThread
  CEvent workEvent{CEvent::ResetMode::kAuto};
  CEvent quitEvent{CEvent::ResetMode::kAuto};
  CCriticalSection lock;
  // Where every task's messages go; tasks refer to it, so it is declared before `current`.
  const TaskMessageSink sink;
  std::unique_ptr<CHttpTask> current;  // the running transfer, null when idle
  tagHProxyInfo proxy;
};

#endif  // ZVNET_HTTP_HTTPTASKMACHINE_H_
