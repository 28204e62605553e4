// Lets host callbacks start only while their service is open, and lets shutdown wait for
// the callbacks that other threads are running, so that none runs after Uninit returns.
//
// Threads: requesting threads run callbacks through Deliver; the thread that shuts the service
// down calls Close and then WaitForOthers without holding the family lock (a running callback
// may be calling an export). `mutex` guards `closed` and `running`; it is never held while a
// callback runs.
#ifndef ZVNET_FRAME_DELIVERYGATE_H_
#define ZVNET_FRAME_DELIVERYGATE_H_

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/win32/WinTypes.h"

class CDeliveryGate {
 public:
  CDeliveryGate() = default;
  CDeliveryGate(const CDeliveryGate&) = delete;
  CDeliveryGate& operator=(const CDeliveryGate&) = delete;

  // Runs `callback` on the calling thread unless the gate is closed; true when it ran.
  template <class Callback>
  bool Deliver(Callback&& callback) {
    if (!Enter()) return false;
    callback();
    Leave();
    return true;
  }

  // From now on no callback starts.
  void Close();
  // Waits until callbacks running on other threads have returned. The calling thread's own
  // (Uninit called from inside a callback) are not waited for.
  void WaitForOthers();

 private:
  bool Enter();
  void Leave();

  std::mutex mutex;
  std::condition_variable idle;
  bool closed = false;
  // Thread id and the callbacks it is running (nested ones count), one entry per thread.
  // A few threads at most: a list whose room stays costs no allocation per callback.
  std::vector<std::pair<DWORD, int>> running;
};

#endif  // ZVNET_FRAME_DELIVERYGATE_H_
