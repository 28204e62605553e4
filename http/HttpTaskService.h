// The HTTP task service: the process-wide singleton behind the ZvHttp exports. It owns the
// workers by id, keeps one delivery record per accepted request, carries what tasks report
// over to the requesting thread and calls the host's callback there, and enforces time-outs.
//
// Threads:
// - the exports' callers run the request, worker and proxy operations (serialised by the
//   family lock, so `taskIds`, `workerIds` and `maxTaskNum` need no lock), and the
//   probe without it: a probe may wait minutes for a silent destination, and no other export
//   waits for it;
// - worker threads run OnDealTaskMsg through their tasks;
// - each requesting thread runs OnMulThreadProxyMsg and the time-out pass from its own window
//   (whose timer runs only while that window has records open: Accept starts it, the pass
//   that leaves none stops it), and OnThreadWindowDestroyed when that window ends with the thread:
//   the thread's requests are then stopped and their records and undelivered messages freed,
//   without callbacks.
// Locks, outer to inner: family lock -> `instanceLock`; family lock -> `workersLock` -> a
// worker's lock -> a task's lock; `workersLock` -> `recordsLock` -> the window lock of
// `proxyWindows`; `probesLock` -> a probe's lock, and is taken with no other lock of the
// service held. `workersLock` guards `workers`; `recordsLock` guards `records`, `inFlight`,
// `nextPostedNumber`, `spareNodes` and the clock state; `probesLock` guards `proxy`, `probes`
// and `probesClosed`. No lock is held while a host callback runs.
//
// Ownership: held by std::shared_ptr (the singleton, the family, and each window dispatch for
// its duration), so a dispatch on another thread keeps it alive through shutdown. Posted
// messages belong to `inFlight` until the receiving window claims them.
#ifndef ZVNET_HTTP_HTTPTASKSERVICE_H_
#define ZVNET_HTTP_HTTPTASKSERVICE_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame/DeliveryGate.h"
#include "frame/IdSequence.h"
#include "frame/MulThreadProxy.h"
#include "http/HttpRecords.h"
#include "http/HttpTaskRecord.h"
#include "http/PostedHttpMessage.h"
#include "http/TaskMessageSink.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/WinTypes.h"

class CHttpTaskMachine;
class CReachabilityProbe;

class CHttpTaskService : public std::enable_shared_from_this<CHttpTaskService> {
 public:
  // True when the singleton exists afterwards.
  static bool CreateInstance();
  // Shuts the singleton down (workers closed, records and pending messages freed) and clears
  // it. Callbacks running on other threads may still be finishing:
  // the caller waits for them with WaitForDeliveries once it holds no lock.
  static void DestroyInstance();
  // The singleton, read under the instance lock; null when there is none.
  static std::shared_ptr<CHttpTaskService> GetInstance();

  CHttpTaskService();
  virtual ~CHttpTaskService();
  CHttpTaskService(const CHttpTaskService&) = delete;
  CHttpTaskService& operator=(const CHttpTaskService&) = delete;

  // Queuing: the task id is drawn and written through `taskId` before the worker is looked
  // up. `par` and `taskId` must not be null.
  long DownloadInMem(const tagDefHttpPar* par, HttpTaskCallback cb, unsigned int timeoutMs,
                     int* taskId, unsigned long userParam, int workerId);
  long DownloadInFile(const tagDefHttpPar* par, const std::wstring& savePath, HttpTaskCallback cb,
                      unsigned int timeoutMs, int* taskId, unsigned long userParam, int workerId,
                      bool reportType);
  long DownloadInFileEx(const tagDefHttpPar* par, const std::wstring& savePath,
                        const SYSTEMTIME* ifModifiedSince, unsigned long startOffset,
                        HttpTaskCallback cb, unsigned int timeoutMs, int* taskId,
                        unsigned long userParam, int workerId);
  // `data` may be null only when `size` is 0.
  long Upload(const tagDefHttpPar* par, const unsigned char* data, unsigned int size,
              HttpTaskCallback cb, unsigned int timeoutMs, int* taskId, unsigned long userParam,
              int workerId);

  long CreateWorker(int* workerId);
  long CloseWorker(int workerId);
  // Under the family lock; then, with it released, WaitForDelivery: a callback of the task
  // running on another thread may itself call an export.
  long StopTask(int taskId);
  // Returns once no callback of `taskId` runs on another thread (one running on this thread,
  // the stop called from inside it, is not waited for); none starts afterwards.
  void WaitForDelivery(int taskId);
  long SetProxy(const tagHProxyInfo& info);
  long SetMaxTaskNum(int n);
  // Synchronous, on the caller's thread, without the family lock (the caller keeps the
  // service alive). Close ends a probe in flight: it answers 0.
  int IsDestinationReachable(const wchar_t* destination);

  // Hand-over from a task on its worker thread; takes ownership of `data` (may be null).
  long OnDealTaskMsg(UINT message, int taskId, HttpMsgData&& data);
  // From the requesting thread's window: deliveries and WM_TIMER.
  long OnMulThreadProxyMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnThreadWindowDestroyed(HWND window);

  // After DestroyInstance, with no lock of the family held: destroys the windows and returns
  // once callbacks running on other threads have returned.
  void WaitForDeliveries();
  // Delivery records and undelivered messages, for tests of what threads leave.
  size_t OpenRecordsForTesting();

  // The task id and worker id the next draws consider first, as if the counts had come that
  // far. Called like the exports, under the family lock or from the only thread using them.
  void SetNextIdsForTesting(int taskId, int workerId);

 private:
  long Accept(const wchar_t* name, HttpTaskParam param, HttpTaskCallback cb, unsigned int timeoutMs,
              int* taskId, unsigned long userParam, int workerId);
  long Close();
  long CloseCookie(int taskId);
  void CheckTimeouts(HWND window);
  // Marks the posted, not yet delivered messages of `taskId` so they are dropped on arrival.
  void CancelPosted(int taskId);
  using InFlightList = std::unordered_map<LPARAM, PostedHttpMessage>;
  // Takes message `number` out of `inFlight`; empty when it is not there (freed by shutdown).
  // A message still to be delivered gets its `pass` through the gate.
  InFlightList::node_type Claim(LPARAM number, CDeliveryGate::Pass& pass);
  // Keeps the emptied node of a delivered message for the next one to be posted.
  void Recycle(InFlightList::node_type node);
  void StampStart(HttpTaskRecord& record);
  // What the tasks of this service's workers report to: OnDealTaskMsg while the service
  // lives. It does not keep the service alive, so a worker abandoned at shutdown drops its
  // tasks' messages rather than reaching a later service.
  TaskMessageSink TaskSink();
  DWORD ElapsedMs(const HttpTaskRecord& record);
  tagHProxyInfo ProxySettings();

  std::map<int, HttpTaskRecord> records;  // by task id
  CMulThreadProxy<CHttpTaskService> proxyWindows;
  CIdSequence taskIds;  // none given twice while its record is open
  tagHProxyInfo proxy;
  CCriticalSection recordsLock;
  CCriticalSection workersLock;
  int maxTaskNum = 10;  // stored for SetMaxTaskNum, read by nothing
  double counterFrequency = 0;
  bool useTickCount = false;  // once set, time is measured with GetTickCount for good
  CIdSequence workerIds;      // none given twice while its worker is open
  std::map<int, std::shared_ptr<CHttpTaskMachine>> workers;  // by worker id
  // By number (the lParam), so that claiming stays cheap however many wait for a busy window.
  InFlightList inFlight;
  LPARAM nextPostedNumber = 1;  // 0 is no message
  // Nodes of delivered messages, reused for posting: a message then costs no allocation.
  std::vector<InFlightList::node_type> spareNodes;
  // No callback starts once shutdown has begun; passes are admitted under `recordsLock`.
  CDeliveryGate gate;
  CCriticalSection probesLock;
  std::set<CReachabilityProbe*> probes;  // in flight, each on its caller's thread
  bool probesClosed = false;             // set by Close: no probe starts afterwards
};

#endif  // ZVNET_HTTP_HTTPTASKSERVICE_H_
