// The process-wide list of live HTTP tasks, so that a status callback can tell whether the
// context value it is handed still names a task.
//
// Threads: a task's driving thread adds (PreRun) and removes (destructor); the stand-in's
// threads look up. `lock` guards `tasks` and is held only while the list is searched or
// changed, never while a task is called; nothing is locked under it, so a plain mutex does
// (a status callback looks the task up on every status).
#ifndef ZVNET_HTTP_HTTPTASKREGISTRY_H_
#define ZVNET_HTTP_HTTPTASKREGISTRY_H_

#include <mutex>
#include <vector>

class CHttpTask;

class CHttpTaskRegistry {
 public:
  static CHttpTaskRegistry& Get();

  // Appends the task unless it is there already.
  void Add(CHttpTask* task);
  // True when the task was there.
  bool Remove(CHttpTask* task);
  bool Contains(const void* context);

 private:
  std::mutex lock;
  std::vector<CHttpTask*> tasks;
};

#endif  // ZVNET_HTTP_HTTPTASKREGISTRY_H_
