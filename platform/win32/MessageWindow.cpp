#include "platform/win32/MessageWindow.h"

#include "platform/win32/PostBatch.h"
#include "platform/win32/ThreadMessageQueue.h"
#include "platform/win32/WindowTable.h"

namespace {

thread_local DWORD lastError = 0;

std::shared_ptr<CThreadMessageQueue> CurrentQueue() {
  auto queue = CThreadMessageQueue::ForCurrentThread();
  return queue->IsValid() ? queue : nullptr;
}

}  // namespace

HWND CreateWindowExW(std::shared_ptr<IWindowProc> proc) {
  auto queue = CurrentQueue();
  if (!queue || !proc) return nullptr;
  return CWindowTable::Get().Add(std::move(proc), std::move(queue))->hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  auto record = CWindowTable::Get().Remove(hwnd);
  if (!record) {
    lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  record->queue->RemoveWindow(hwnd);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  return CWindowTable::Get().Find(hwnd) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto record = CWindowTable::Get().Find(hwnd);
  if (!record) {
    lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  auto queue = record->queue;
  CPostBatch* batch = CPostBatch::Current();
  queue->Post(std::move(record), message, wParam, lParam, batch == nullptr);
  if (batch) batch->Note(queue);
  return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC timerProc) {
  if (timerProc) return 0;
  auto record = CWindowTable::Get().Find(hwnd);
  if (!record) {
    lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  auto queue = record->queue;
  queue->SetTimer(std::move(record), id, elapseMs);
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto record = CWindowTable::Get().Find(hwnd);
  return record && record->queue->KillTimer(hwnd, id) ? TRUE : FALSE;
}

LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD error) {
  lastError = error;
}

long PumpMessages(DWORD timeoutMs) {
  auto queue = CurrentQueue();
  return queue ? queue->Pump(timeoutMs) : 0;
}

long DispatchThreadMessages() {
  auto queue = CurrentQueue();
  return queue ? queue->DispatchPending() : 0;
}

int GetThreadMessageWaitFd() {
  auto queue = CurrentQueue();
  return queue ? queue->WaitFd() : -1;
}
