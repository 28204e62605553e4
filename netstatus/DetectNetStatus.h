// The network change detector: one background thread that waits for the addresses or routes of
// its network namespace to change, lets a burst of changes settle for 3000 ms, asks whether the
// machine is connected, and posts WM_NETSTATUS_CHANGED to every registered window. It watches
// without a gap: each wait's notifications are armed before the previous ones are let go, and
// those of the quiet wait stay armed through the query, so a change right after the query is
// reported too. If the
// changes can no longer be watched, it posts WM_NETSTATUS_EXIT to every window, forgets them
// all and ends.
//
// Threads: the net-status service's callers register windows, start and stop; the detector
// thread only posts. The thread watches the network namespace of the thread that calls
// StartDetect. All state is process-wide and shared by every instance; its `lock` (re-entrant,
// taken after the service lock) guards the window list, the thread, the exit event and the
// stopped and failed flags. The detector thread holds it only while posting; StopDetect waits
// for the thread without it. The state owns the thread and its exit event; the thread shares
// the event.
#ifndef ZVNET_NETSTATUS_DETECTNETSTATUS_H_
#define ZVNET_NETSTATUS_DETECTNETSTATUS_H_

#include <memory>

#include "platform/win32/NoDestructor.h"
#include "platform/win32/WinTypes.h"

class CEvent;
class CIpChangeNotification;

inline constexpr UINT WM_NETSTATUS_CHANGED = 2274;  // wParam 1 connected, 0 not
inline constexpr UINT WM_NETSTATUS_EXIT = 2275;     // detection ended with an error

class CDetectNetStatus {
 public:
  static constexpr DWORD kSettleMs = 3000;    // quiet time that ends a burst of changes
  static constexpr DWORD kStopWaitMs = 3000;  // how long a stop waits for the thread

  CDetectNetStatus() = default;
  CDetectNetStatus(const CDetectNetStatus&) = delete;
  CDetectNetStatus& operator=(const CDetectNetStatus&) = delete;
  // Stops detection and forgets every window.
  virtual ~CDetectNetStatus();

  // Appends `hwnd` (duplicates allowed) or removes its first entry; removing the last entry
  // stops detection. E_INVALIDARG for a handle that is not a window; on removal S_FALSE when
  // the handle was not listed.
  long RegisterWindow(HWND hwnd, BOOL add);
  // Starts the thread when none runs and a window is listed: S_OK; nothing to do: S_FALSE;
  // E_FAIL when the thread could not be made. A thread that ended by its error exit is
  // replaced, so that new registrations are watched again.
  long StartDetect();
  // Stops the thread and waits for it at most kStopWaitMs: S_OK; S_FALSE when none was started.
  long StopDetect();

  // Seam for tests: the calls that arm the route and the address notification of every wait,
  // NotifyRouteChange and NotifyAddrChange unless replaced; null puts the real one back.
  using ArmFunction = DWORD (*)(CIpChangeNotification&);
  static void SetArmFunctionsForTesting(ArmFunction route, ArmFunction address);
  // Seam for tests: the connection query after a change has settled,
  // InternetGetConnectedState unless replaced; null puts it back.
  using QueryFunction = BOOL (*)(DWORD* flags, DWORD reserved);
  static void SetConnectedQueryForTesting(QueryFunction query);

  // Set from a stop until the next start. Process-wide, as all the detector's state is.
  static bool IsStopped();
  // The thread has taken its error exit and watches nothing until the next start.
  static bool HasFailed();

 private:
  enum WaitResult { kWaitError = 1, kWaitChanged = 2, kWaitQuiet = 3, kWaitExit = 4 };
  struct State;
  // The route and the address notification, armed together.
  struct Watch;

  // Stops the thread if the window list is empty at the time of the stop, or `always`.
  static long StopDetectIf(bool always);
  // A newly armed watch; null when either notification could not be armed.
  static std::unique_ptr<Watch> Arm();
  static int WaitForChange(const Watch& watch, DWORD timeoutMs, const CEvent& exitEvent);
  static void MainProc(const std::shared_ptr<CEvent>& exitEvent);
  // Posts to every listed window, unless this thread was stopped meanwhile (then false).
  static bool PostToWindows(const CEvent& exitEvent, UINT message, WPARAM wParam);
  // The error exit: tells every window and forgets them, unless stopped meanwhile.
  static void PostExitAndForget(const CEvent& exitEvent);

  static NoDestructor<State> shared;
};

#endif  // ZVNET_NETSTATUS_DETECTNETSTATUS_H_
