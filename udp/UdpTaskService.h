// The UDP task service: the process-wide singleton behind the ZvUdp exports. It owns the
// channels, hands out channel ids and cookies, keeps one record per open request, turns the
// messages that task threads post into the caller's callbacks and ends expired requests.
//
// Threads: CreateChannel, CloseChannel, both SendData forms, StopTask and SetMaxTaskNum run on
// any caller thread; OnMulThreadProxyMsg (callbacks and the time-out pass) and
// OnThreadWindowDestroyed run on the thread that owns the window, which is the thread that
// created the channel or made the one-shot request. Task threads never enter the service: they
// post to the windows. A request belongs to its thread's window, not to a thread id: when the
// window ends with its thread, the thread's channels close and its requests are dropped
// without callbacks, which frees their room under the limits.
// Locks: `lock` guards requests, waitingRequests, channels, cookies, channelIds and
// shutDown. It is taken before a task's queue or stop lock and before the proxy's lock, never
// after them, and it is never held while a callback runs or a thread is waited for. Callbacks
// run through `gate`, admitted under `lock` while their record is there: StopTask and
// CloseChannel remove the records and then wait for callbacks of theirs running on other
// threads; Shutdown closes the gate and WaitForDeliveries waits, without any lock of the family
// held, for those still running on other threads.
// Ownership: owned by a std::shared_ptr (the exports hold it; a running dispatch holds its
// own). Channel tasks are shared with their threads; a one-shot task belongs to its thread.
// Replies travel in `replies`, shared with every task made here.
#ifndef ZVNET_UDP_UDPTASKSERVICE_H_
#define ZVNET_UDP_UDPTASKSERVICE_H_

#include <atomic>
#include <deque>
#include <map>
#include <memory>

#include "frame/DeliveryGate.h"
#include "frame/IdSequence.h"
#include "frame/MulThreadProxy.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/WinTypes.h"
#include "udp/UdpRecords.h"
#include "udp/UdpReplyStore.h"
#include "zvnet/zvudp.h"

class CUdpTask;

class CUdpTaskService : public std::enable_shared_from_this<CUdpTaskService> {
 public:
  // At most this many channels are open at once.
  static constexpr size_t kMaxOpenChannels = 9;
  // Send and receive time-out of every socket the service makes.
  static constexpr DWORD kSocketTimeoutMs = 200;

  // A service with its messages registered and its proxy bound to it.
  static std::shared_ptr<CUdpTaskService> Create();
  CUdpTaskService();
  ~CUdpTaskService();
  CUdpTaskService(const CUdpTaskService&) = delete;
  CUdpTaskService& operator=(const CUdpTaskService&) = delete;

  long CreateChannel(UDP_CHANNEL_TYPE type, const tagUdpServer* server, int* channelId);
  long CloseChannel(int channelId);
  long SendData(int channelId, const char* data, UdpTaskCallback sendCallback,
                UdpTaskCallback recvCallback, unsigned int timeoutMs, unsigned long userParam,
                int* cookie, bool resetDomain);
  long SendData(const tagUdpTaskParam* param, UdpTaskCallback callback, unsigned int timeoutMs,
                int* cookie);
  long StopTask(int cookie);
  long SetMaxTaskNum(int limit);
  long OnMulThreadProxyMsg(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  // The window's thread ended (or destroyed it): closes its channels and drops its requests.
  void OnThreadWindowDestroyed(HWND window);

  // Closes every channel and drops held-back and open requests without callbacks. Nothing is
  // started afterwards, no callback starts. Safe to call twice.
  void Shutdown();
  // After Shutdown, with no lock of the family held: destroys the windows and waits until the
  // callbacks running on other threads have returned. Those of the calling thread (Shutdown
  // from inside a callback) are not waited for.
  void WaitForDeliveries();
  // Open requests, held-back requests and open channels, for tests of what threads leave.
  struct Counts {
    size_t requests = 0;
    size_t waiting = 0;
    size_t channels = 0;
    size_t replies = 0;  // held for a window that has not dispatched them
  };
  Counts CountsForTesting();
  // The family's service while ZvUdp is initialised, else null.
  static std::shared_ptr<CUdpTaskService> CurrentForTesting();
  // The cookie the next request considers first, as if the count had come that far.
  void SetNextCookieForTesting(int cookie);

 private:
  void CheckTimeOut(HWND window);
  void StampStart(UdpRequestRecord& record);
  DWORD ElapsedMs(const UdpRequestRecord& record);
  bool HasRoomForOneShotLocked() const;
  UdpRequestRecord MakeOneShotRecord(const CUdpTask& task, const UdpOneShotRequest& request);
  static void StartOneShot(CUdpTask& task, const UdpOneShotRequest& request);
  // Starts held-back one-shot requests, oldest first, while the open requests are fewer than
  // maxTaskNum.
  void StartWaitingRequests();
  // Drops the cookie's datagram from the first channel queue that holds it.
  bool RemoveQueuedLocked(int cookie);
  // A cookie that no open or held-back request has.
  int DrawCookieLocked();
  // Every request enters and leaves `requests` through these, which tell the reply store
  // whose replies are awaited; an entering one starts its window's timer, which the time-out
  // pass stops when it leaves none of that window.
  void AddRequestLocked(int cookie, const UdpRequestRecord& record);
  std::map<int, UdpRequestRecord>::iterator EraseRequestLocked(
      std::map<int, UdpRequestRecord>::iterator it);

  std::map<int, UdpRequestRecord> requests;       // open requests by cookie
  std::deque<UdpOneShotRequest> waitingRequests;  // held back by the task limit
  CMulThreadProxy<CUdpTaskService> proxy;
  CIdSequence cookies;  // shared by both SendData forms
  CCriticalSection lock;
  std::atomic<int> maxTaskNum{10};  // compared unsigned: negative means no limit
  double perfFrequency = 0;
  std::atomic<bool> useTickCount{false};
  CIdSequence channelIds;
  std::map<int, std::shared_ptr<CUdpTask>> channels;  // open channels by id
  const std::shared_ptr<CUdpReplyStore> replies;
  bool shutDown = false;
  CDeliveryGate gate;  // no callback starts once shutdown has begun
};

#endif  // ZVNET_UDP_UDPTASKSERVICE_H_
