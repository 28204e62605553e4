#include "platform/win32/PostBatch.h"

#include <algorithm>

#include "platform/win32/ThreadMessageQueue.h"

namespace {

thread_local CPostBatch* currentBatch = nullptr;

}  // namespace

CPostBatch::CPostBatch() : outermost(currentBatch == nullptr) {
  if (outermost) currentBatch = this;
}

CPostBatch::~CPostBatch() {
  if (!outermost) return;
  currentBatch = nullptr;
  for (const auto& queue : queues) queue->Signal();
}

CPostBatch* CPostBatch::Current() {
  return currentBatch;
}

void CPostBatch::Note(const std::shared_ptr<CThreadMessageQueue>& queue) {
  if (std::find(queues.begin(), queues.end(), queue) == queues.end()) queues.push_back(queue);
}
