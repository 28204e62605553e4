#include "platform/win32/MessageWindow.h"

#include "platform/win32/PostBatch.h"
#include "platform/win32/ThreadMessageQueue_linux.h"
#include "platform/win32/WindowTable_linux.h"

namespace {

thread_local DWORD lastError = 0;

std::shared_ptr<CThreadMessageQueue> CurrentQueue() {
  auto queue = CThreadMessageQueue::ForCurrentThread();
  return queue && queue->IsValid() ? queue : nullptr;
}

// The live window, or null; in a forked child every window is the parent's, so none is.
std::shared_ptr<CWindowRecord> FindWindow(HWND hwnd) {
  auto record = CWindowTable::Get().Find(hwnd);
  if (record && record->queue->IsValid()) return record;
  lastError = ERROR_INVALID_WINDOW_HANDLE;
  return nullptr;
}

}  // namespace

HWND CreateWindowExW(std::shared_ptr<IWindowProc> proc) {
  auto queue = CurrentQueue();
  if (!queue || !proc) return nullptr;
  return CWindowTable::Get().Add(std::move(proc), std::move(queue))->hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  if (!FindWindow(hwnd)) return FALSE;
  auto record = CWindowTable::Get().Remove(hwnd);
  if (!record) {
    lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  record->queue->RemoveWindow(hwnd);
  // As on Windows, the window's own thread tells its procedure, last of all its messages.
  if (record->queue->IsOwnerThread()) {
    record->proc->WindowProc(hwnd, WM_DESTROY, 0, 0);
    record->proc->WindowProc(hwnd, WM_NCDESTROY, 0, 0);
  }
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  return FindWindow(hwnd) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto record = FindWindow(hwnd);
  if (!record) return FALSE;
  auto queue = record->queue;
  CPostBatch* batch = CPostBatch::Current();
  if (!queue->Post(std::move(record), message, wParam, lParam, batch == nullptr)) return FALSE;
  if (batch) batch->Note(queue);
  return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC timerProc) {
  if (timerProc) return 0;
  auto record = FindWindow(hwnd);
  if (!record) return 0;
  auto queue = record->queue;
  return queue->SetTimer(std::move(record), id, elapseMs) ? id : 0;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto record = FindWindow(hwnd);
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
  return queue ? queue->Pump(timeoutMs) : -1;
}

long DispatchThreadMessages() {
  auto queue = CurrentQueue();
  return queue ? queue->DispatchPending() : -1;
}

int GetThreadMessageWaitFd() {
  auto queue = CurrentQueue();
  return queue ? queue->WaitFd() : -1;
}
