#include "http/HttpTaskRegistry.h"

#include <algorithm>

#include "platform/win32/NoDestructor.h"

CHttpTaskRegistry& CHttpTaskRegistry::Get() {
  static NoDestructor<CHttpTaskRegistry> registry;
  return *registry;
}

void CHttpTaskRegistry::Add(CHttpTask* task) {
  std::lock_guard guard(lock);
  if (std::find(tasks.begin(), tasks.end(), task) == tasks.end()) tasks.push_back(task);
}

bool CHttpTaskRegistry::Remove(CHttpTask* task) {
  std::lock_guard guard(lock);
  auto it = std::find(tasks.begin(), tasks.end(), task);
  if (it == tasks.end()) return false;
  tasks.erase(it);
  return true;
}

bool CHttpTaskRegistry::Contains(const void* context) {
  std::lock_guard guard(lock);
  return std::find(tasks.begin(), tasks.end(), context) != tasks.end();
}
