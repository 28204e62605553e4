#include "netstatus/DetectNetStatus.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "frame/Log.h"
#include "platform/iphelper/InternetConnectedState.h"
#include "platform/iphelper/IpChangeNotification.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Wait.h"

struct CDetectNetStatus::State {
  CCriticalSection lock;
  std::vector<HWND> windows;          // in order of registration, duplicates allowed
  std::unique_ptr<CThread> thread;    // the detector thread while it exists
  std::shared_ptr<CEvent> exitEvent;  // of that thread; set once, never reset
  BOOL stopped = TRUE;                // no detection started since the last stop
  bool failed = false;                // the thread took its error exit
};

namespace {

std::atomic<CDetectNetStatus::ArmFunction> armRouteChange{NotifyRouteChange};
std::atomic<CDetectNetStatus::ArmFunction> armAddressChange{NotifyAddrChange};
std::atomic<CDetectNetStatus::QueryFunction> connectedQuery{InternetGetConnectedState};

}  // namespace

// Made at load, before any thread of the library runs; never destroyed, so a thread that
// outlived its stop may still take the lock at exit.
NoDestructor<CDetectNetStatus::State> CDetectNetStatus::shared;

CDetectNetStatus::~CDetectNetStatus() {
  StopDetect();
  CAutoLock guard(shared->lock);
  shared->windows.clear();
}

long CDetectNetStatus::RegisterWindow(HWND hwnd, BOOL add) {
  // A window that ended with its thread is still taken off the list.
  if (add && !IsWindow(hwnd)) return E_INVALIDARG;
  bool removed = false;
  {
    CAutoLock guard(shared->lock);
    auto& windows = shared->windows;
    if (add) {
      windows.push_back(hwnd);
      return S_OK;
    }
    auto it = std::find(windows.begin(), windows.end(), hwnd);
    if (it != windows.end()) {
      windows.erase(it);
      removed = true;
    }
  }
  // Decided again under the lock, so a window added meanwhile keeps its detection.
  StopDetectIf(false);
  return removed ? S_OK : S_FALSE;
}

long CDetectNetStatus::StartDetect() {
  std::unique_ptr<CThread> failedThread;  // released after the lock is left
  CAutoLock guard(shared->lock);
  State& s = *shared;
  if (s.thread && s.failed) {
    // The old thread only returns now; its handle is dropped here.
    failedThread = std::move(s.thread);
    s.exitEvent.reset();
    s.failed = false;
    s.stopped = TRUE;
  }
  if (s.thread || s.windows.empty()) return S_FALSE;

  auto exitEvent = std::make_shared<CEvent>(CEvent::ResetMode::kManual);
  auto thread = std::make_unique<CThread>();
  if (!exitEvent->IsValid() || !thread->Start([exitEvent] { MainProc(exitEvent); })) {
    WriteLog(LOG_FAIL, L"CDetectNetStatus::StartDetect _beginthreadex Failed");
    return E_FAIL;
  }
  s.thread = std::move(thread);
  s.exitEvent = std::move(exitEvent);
  s.stopped = FALSE;
  return S_OK;
}

long CDetectNetStatus::StopDetect() {
  return StopDetectIf(true);
}

long CDetectNetStatus::StopDetectIf(bool always) {
  std::unique_ptr<CThread> thread;
  {
    CAutoLock guard(shared->lock);
    State& s = *shared;
    if (!always && !s.windows.empty()) return S_FALSE;
    if (!s.exitEvent || s.stopped) return S_FALSE;
    // Set under the lock: the thread looks at it under the same lock before every post, so
    // nothing is posted once the stop is decided. The event is never reset, so a stop that
    // comes while the thread posts, queries or is between two waits ends its next wait.
    s.exitEvent->Set();
    thread = std::move(s.thread);
    s.exitEvent.reset();
    s.stopped = TRUE;
    s.failed = false;
  }
  // Waited for without the lock, which the thread needs to finish a post.
  if (thread->Wait(kStopWaitMs) != WAIT_OBJECT_0) {
    WriteLog(LOG_EVENT, L"CDetectNetStatus::StopDetect Wait For Thread Exit Timeout");
  }
  return S_OK;  // the thread object joins an ended thread, or lets a late one finish alone
}

void CDetectNetStatus::SetArmFunctionsForTesting(ArmFunction route, ArmFunction address) {
  // The casts pick the library's form where the system's is overloaded beside it.
  armRouteChange = route ? route : static_cast<ArmFunction>(NotifyRouteChange);
  armAddressChange = address ? address : static_cast<ArmFunction>(NotifyAddrChange);
}

void CDetectNetStatus::SetConnectedQueryForTesting(QueryFunction query) {
  connectedQuery = query ? query : static_cast<QueryFunction>(InternetGetConnectedState);
}

bool CDetectNetStatus::IsStopped() {
  CAutoLock guard(shared->lock);
  return shared->stopped != FALSE;
}

bool CDetectNetStatus::HasFailed() {
  CAutoLock guard(shared->lock);
  return shared->failed;
}

struct CDetectNetStatus::Watch {
  CIpChangeNotification route;
  CIpChangeNotification address;  // each cancels itself when it goes
};

std::unique_ptr<CDetectNetStatus::Watch> CDetectNetStatus::Arm() {
  auto watch = std::make_unique<Watch>();
  if (armRouteChange.load()(watch->route) != ERROR_IO_PENDING) return nullptr;
  if (armAddressChange.load()(watch->address) != ERROR_IO_PENDING) return nullptr;
  return watch;
}

int CDetectNetStatus::WaitForChange(const Watch& watch, DWORD timeoutMs, const CEvent& exitEvent) {
  // The exit event comes first, so that a steady stream of changes cannot hold off a stop.
  switch (WaitForMultipleObjects({&exitEvent, &watch.route, &watch.address}, timeoutMs)) {
    case WAIT_OBJECT_0:
      return kWaitExit;
    case WAIT_OBJECT_0 + 1:
    case WAIT_OBJECT_0 + 2:
      return kWaitChanged;
    case WAIT_TIMEOUT:
      return kWaitQuiet;
    default:
      return kWaitError;
  }
}

void CDetectNetStatus::MainProc(const std::shared_ptr<CEvent>& exitEvent) {
  WriteLog(LOG_EVENT, L"CDetectNetStatus::MainProc Run");
  std::unique_ptr<Watch> watch = Arm();
  int result = watch ? WaitForChange(*watch, INFINITE, *exitEvent) : kWaitError;
  for (;;) {
    // A burst of changes is reported once, kSettleMs after its last change. A signalled watch
    // stays signalled, so each wait gets a new one, armed before the old one goes.
    while (result == kWaitChanged) {
      watch = Arm();
      result = watch ? WaitForChange(*watch, kSettleMs, *exitEvent) : kWaitError;
    }
    if (result != kWaitQuiet) break;
    // The quiet wait's watch stays armed through the query and the posts: a change from here
    // on, even right after the query, ends the next wait.
    WriteLog(LOG_EVENT, L"CDetectNetStatus::MainProc Network Changed");
    DWORD flags = 0;
    const WPARAM connected = connectedQuery.load()(&flags, 0) ? 1 : 0;
    if (!PostToWindows(*exitEvent, WM_NETSTATUS_CHANGED, connected)) {
      result = kWaitExit;
      break;
    }
    result = WaitForChange(*watch, INFINITE, *exitEvent);
  }
  watch.reset();
  if (result == kWaitExit) {
    WriteLog(LOG_EVENT, L"CDetectNetStatus::MainProc Abort");
    return;
  }
  WriteLog(LOG_EVENT, L"CDetectNetStatus::MainProc Error");
  PostExitAndForget(*exitEvent);
}

bool CDetectNetStatus::PostToWindows(const CEvent& exitEvent, UINT message, WPARAM wParam) {
  CAutoLock guard(shared->lock);
  if (exitEvent.IsSet()) return false;
  for (HWND hwnd : shared->windows) {
    if (IsWindow(hwnd)) PostMessageW(hwnd, message, wParam, 0);
  }
  return true;
}

void CDetectNetStatus::PostExitAndForget(const CEvent& exitEvent) {
  CAutoLock guard(shared->lock);
  // A stop that came first owns the list now: a later start may already be using it.
  if (!PostToWindows(exitEvent, WM_NETSTATUS_EXIT, 0)) return;
  shared->windows.clear();
  shared->failed = true;
}
