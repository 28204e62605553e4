// The stand-in's engine: one thread per process that owns the libcurl multi handle, so that
// keep-alive connections are pooled process-wide, and every libcurl call on a transfer runs on
// this thread (no cross-thread pausing). Its share handle holds the process-wide cookie
// store, DNS cache and TLS sessions, and is locked for use from other threads.
//
// Threads: any thread may Post or Call; the work runs on the engine thread, in order. Work
// run by Call has finished when Call returns. When libcurl could not be set up the engine has
// no thread: Usable() is false, Add refuses every transfer and posted work runs at once on
// the posting thread (it can only free what never reached libcurl). `mutex` guards `commands` and
// `wakePending`; `transfers` is touched only on the engine thread. The engine lives until the
// process ends.
#ifndef ZVNET_PLATFORM_WININET_INTERNETENGINE_H_
#define ZVNET_PLATFORM_WININET_INTERNETENGINE_H_

#include <curl/curl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win32/Event.h"
#include "platform/wininet/EngineTransfer.h"

class CInternetEngine {
 public:
  static CInternetEngine& Get();

  // False when libcurl could not be set up; requests then fail instead of starting.
  bool Usable() const { return usable; }

  // Runs `work` on the engine thread; at once when called there.
  void Post(std::function<void()> work);
  // Runs `work` on the engine thread when it next wakes for any reason (within a second):
  // for clean-up that nobody waits for.
  void PostLazy(std::function<void()> work);
  // The same, and waits until it has run.
  void Call(const std::function<void()>& work);
  bool IsEngineThread() const { return std::this_thread::get_id() == threadId; }

  // Engine thread only: add and remove a transfer's easy handle. The engine keeps the
  // transfer alive while its handle is in the multi handle and tells it when it is done.
  bool Add(CURL* easy, std::shared_ptr<CEngineTransfer> transfer);
  void Remove(CURL* easy);

  // Share handle for cookies, DNS and TLS sessions; usable from any thread. Null when the
  // engine is not usable.
  CURLSH* Share() const { return share.get(); }

  CInternetEngine();
  CInternetEngine(const CInternetEngine&) = delete;
  CInternetEngine& operator=(const CInternetEngine&) = delete;

 private:
  struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };
  struct ShareFree {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
  };

  // Sets up libcurl's global state, the multi and the share handle; false on any failure.
  bool Init();
  void Loop();
  bool RunCommands();
  void ReapDone();
  static void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* self);
  static void UnlockShare(CURL*, curl_lock_data data, void* self);

  bool usable = false;  // set once by the constructor
  std::unique_ptr<CURLM, MultiFree> multi;
  std::unique_ptr<CURLSH, ShareFree> share;
  std::mutex shareLocks[CURL_LOCK_DATA_LAST];
  std::mutex mutex;
  std::deque<std::function<void()>> commands;
  bool wakePending = false;  // a wake-up was sent that the loop has not taken commands for
  // Wakes the loop's poll: an eventfd costs less than libcurl's own socket pair.
  CEvent wake{CEvent::ResetMode::kAuto};
  std::map<CURL*, std::shared_ptr<CEngineTransfer>> transfers;
  std::thread::id threadId;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETENGINE_H_
