// Lets host callbacks start only while their service is open and their request is, and lets
// a stop wait for the callbacks that other threads are running, so that none runs after
// Uninit, a stop or a close returns.
//
// Threads: requesting threads Admit a pass while they hold the service lock that also guards
// the request's record, then run the callback with the lock released. A stop removes the record
// under that lock, releases it and calls WaitFor; shutdown calls Close and then WaitForOthers,
// without holding the family lock (a running callback may be calling an export). `mutex` guards
// `closed` and `running`; it is taken inside the service locks, never the other way round, and
// never held while a callback runs.
#ifndef ZVNET_FRAME_DELIVERYGATE_H_
#define ZVNET_FRAME_DELIVERYGATE_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/win32/WinTypes.h"

class CDeliveryGate {
 public:
  // What a callback is delivered for: a request's id and the group it belongs to (a UDP
  // channel), 0 when none.
  struct Tag {
    int id;
    int group;
  };

  // A callback under way; leaves the gate when destroyed. Empty when the gate was closed.
  class Pass {
   public:
    Pass() = default;
    Pass(Pass&& other) noexcept : gate(other.gate), serial(other.serial) { other.gate = nullptr; }
    Pass& operator=(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass();
    explicit operator bool() const { return gate != nullptr; }
    // A stop for its request or group came since it was admitted (from this thread: one
    // from another thread would have waited for it). Check before each callback of a batch.
    bool Revoked() const;

   private:
    friend class CDeliveryGate;
    Pass(CDeliveryGate* gate, uint64_t serial) : gate(gate), serial(serial) {}
    CDeliveryGate* gate = nullptr;
    uint64_t serial = 0;  // its entry in `running`
  };

  CDeliveryGate() = default;
  CDeliveryGate(const CDeliveryGate&) = delete;
  CDeliveryGate& operator=(const CDeliveryGate&) = delete;

  // Enters unless the gate is closed. Taken under the lock that guards the request's record,
  // so that a stop made after it finds the pass and waits for it.
  Pass Admit(Tag tag = Tag{});

  // From now on no callback starts.
  void Close();
  // Wait until callbacks running on other threads have returned: all of them, those of one
  // request, or those of one group. The calling thread's own (a stop called from inside a
  // callback) are not waited for; the passes of the request or group are revoked.
  void WaitForOthers();
  void WaitFor(int id);
  void WaitForGroup(int group);

 private:
  struct Running {
    DWORD thread;
    Tag tag;
    uint64_t serial;
    bool revoked;
  };
  void Leave(uint64_t serial);
  template <class Pred>
  void WaitWhileOthers(Pred matches);

  std::mutex mutex;
  std::condition_variable idle;
  bool closed = false;
  uint64_t nextSerial = 0;
  // The callbacks under way, nested ones in order. A few at most: a list whose room stays
  // costs no allocation per callback.
  std::vector<Running> running;
};

#endif  // ZVNET_FRAME_DELIVERYGATE_H_
