#include "platform/win32/PostBatch.h"

#include <algorithm>

#include "platform/win32/Clock.h"
#include "platform/win32/ThreadMessageQueue_linux.h"

namespace {

thread_local CPostBatch* currentBatch = nullptr;

}  // namespace

CPostBatch::CPostBatch() : outermost(currentBatch == nullptr) {
  if (outermost) currentBatch = this;
}

CPostBatch::~CPostBatch() {
  if (!outermost) return;
  currentBatch = nullptr;
  WakeNow();
}

void CPostBatch::WakeNow() {
  std::vector<std::shared_ptr<CThreadMessageQueue>> woken;
  woken.swap(queues);
  for (const auto& queue : woken) queue->Signal();
}

int CPostBatch::WakeDueInMs() {
  if (!currentBatch || currentBatch->queues.empty()) return -1;
  const DWORD age = timeGetTime() - currentBatch->heldSince;
  return age >= kMaxHoldMs ? 0 : static_cast<int>(kMaxHoldMs - age);
}

void CPostBatch::WakeIfDue() {
  if (WakeDueInMs() == 0) currentBatch->WakeNow();
}

CPostBatch* CPostBatch::Current() {
  return currentBatch;
}

void CPostBatch::Note(const std::shared_ptr<CThreadMessageQueue>& queue) {
  if (queues.empty()) heldSince = timeGetTime();
  if (std::find(queues.begin(), queues.end(), queue) == queues.end()) queues.push_back(queue);
}
