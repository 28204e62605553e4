// The stand-in's engine: one per thread that starts transfers, without a thread of its own.
// It owns that thread's libcurl multi handle and its pool of kept-alive connections, and runs
// the transfers inside the thread's own waits: it is the thread's wait driver (WaitDriver.h),
// so every WaitForMultipleObjects of the thread also watches the transfers' sockets and
// libcurl's timer, and a synchronous call runs them itself (RunUntil). Every libcurl call on a
// transfer, and every callback of it, runs on the owning thread.
//
// Threads: the owning thread makes the engine (ForThisThread) and runs everything but Post and
// PostLazy. Any thread may Post: the work runs on the owning thread, at once when posted there
// outside libcurl, else at its next wake (a wait, or RunUntil), which a Post from another
// thread causes. When the owning thread ends, the engine takes its transfers out, frees its
// handles and runs later posts at once on the posting thread (nothing of libcurl is left that
// they could race with). `mutex` guards `commands`, `wakePending` and `ended`; every other
// field is the owning thread's.
#ifndef ZVNET_PLATFORM_WININET_INTERNETENGINE_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETENGINE_LINUX_H_

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/Event.h"
#include "platform/win32/WaitDriver_linux.h"
#include "platform/wininet/EngineTransfer_linux.h"

class CInternetEngine : public CWaitDriver {
 public:
  // The calling thread's engine, made and installed as its wait driver on first use; null
  // when libcurl is not usable.
  static std::shared_ptr<CInternetEngine> ForThisThread();

  bool IsOwnerThread() const { return std::this_thread::get_id() == owner; }
  // Runs `work` on the owning thread (see the contract above).
  void Post(std::function<void()> work);
  // The same, but from another thread without waking it: for clean-up nobody waits for.
  void PostLazy(std::function<void()> work);

  // Owning thread: add and remove a transfer's easy handle. The engine keeps the transfer
  // alive while its handle is in the multi handle and tells it when it is done.
  bool Add(CURL* easy, std::shared_ptr<CEngineTransfer> transfer);
  void Remove(CURL* easy);
  // Owning thread: runs the transfers until `done` answers true (true) or `timeoutMs` has
  // passed (false). Inside the engine's own work it cannot run them and only waits.
  bool RunUntil(const std::function<bool()>& done, DWORD timeoutMs);

  std::span<const pollfd> Fds() const override { return fds; }
  int TimeoutMs() const override;

  CInternetEngine();
  ~CInternetEngine() override;
  CInternetEngine(const CInternetEngine&) = delete;
  CInternetEngine& operator=(const CInternetEngine&) = delete;

 protected:
  void RunDue(std::span<const pollfd> ready) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };
  class CHolder;

  bool Init();
  // Called as the owning thread ends.
  void Shutdown();
  void RunCommands();
  void RunDeferred();
  void ReapDone();
  void Act(curl_socket_t socket, int events);
  void OnSocket(curl_socket_t socket, int what);
  static int SocketThunk(CURL*, curl_socket_t socket, int what, void* self, void*);
  static int TimerThunk(CURLM*, long timeoutMs, void* self);

  const std::thread::id owner;
  std::unique_ptr<CURLM, MultiFree> multi;
  // The wake-up of a Post from another thread first, then the sockets libcurl watches.
  std::vector<pollfd> fds;
  bool timerSet = false;
  Clock::time_point timerDue;
  std::map<CURL*, std::shared_ptr<CEngineTransfer>> transfers;
  bool driving = false;  // inside libcurl: posts wait until it has returned
  std::vector<std::function<void()>> deferred;
  CEvent wake{CEvent::ResetMode::kAuto};

  std::mutex mutex;
  std::vector<std::function<void()>> commands;
  bool wakePending = false;  // a wake-up was sent that has not been taken yet
  bool ended = false;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETENGINE_LINUX_H_
