#include "platform/wininet/InternetEngine.h"

#include <algorithm>
#include <future>
#include <iterator>

#include "platform/win32/NoDestructor.h"

namespace {

// Idle connections and more than a few parallel transfers per process are rare; this bounds
// the pool without forcing reconnects in normal use.
constexpr long kMaxPooledConnections = 64;
constexpr long kIdleWakeMs = 1000;

}  // namespace

CInternetEngine& CInternetEngine::Get() {
  static NoDestructor<CInternetEngine> engine;
  return *engine;
}

CInternetEngine::CInternetEngine() {
  usable = Init();
  if (!usable) {
    // Nothing runs on them; requests see Usable() false and fail before reaching libcurl.
    share.reset();
    multi.reset();
    return;
  }
  // The thread runs until the process ends, like WinINet's own threads.
  std::thread thread([this] { Loop(); });
  threadId = thread.get_id();
  thread.detach();
}

bool CInternetEngine::Init() {
  // Never cleaned up globally: the engine and its handles live until the process ends.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  multi.reset(curl_multi_init());
  if (!multi ||
      curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, kMaxPooledConnections) != CURLM_OK) {
    return false;
  }
  share.reset(curl_share_init());
  if (!share) return false;
  CURLSH* handle = share.get();
  const CURLSHcode results[] = {
      curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &CInternetEngine::LockShare),
      curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &CInternetEngine::UnlockShare),
      curl_share_setopt(handle, CURLSHOPT_USERDATA, this),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION),
  };
  // A share without its locks would be used unguarded from several threads.
  return std::all_of(std::begin(results), std::end(results),
                     [](CURLSHcode result) { return result == CURLSHE_OK; });
}

void CInternetEngine::LockShare(CURL*, curl_lock_data data, curl_lock_access, void* self) {
  static_cast<CInternetEngine*>(self)->shareLocks[data].lock();
}

void CInternetEngine::UnlockShare(CURL*, curl_lock_data data, void* self) {
  static_cast<CInternetEngine*>(self)->shareLocks[data].unlock();
}

void CInternetEngine::Post(std::function<void()> work) {
  if (IsEngineThread() || !usable) {
    work();
    return;
  }
  bool needsWake;
  {
    std::lock_guard guard(mutex);
    // One wake-up on its way is enough: the loop takes every queued command after it.
    needsWake = !wakePending;
    wakePending = true;
    commands.push_back(std::move(work));
  }
  if (needsWake) wake.Set();
}

void CInternetEngine::PostLazy(std::function<void()> work) {
  if (IsEngineThread() || !usable) {
    work();
    return;
  }
  std::lock_guard guard(mutex);
  commands.push_back(std::move(work));
}

void CInternetEngine::Call(const std::function<void()>& work) {
  if (IsEngineThread() || !usable) {
    work();
    return;
  }
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  Post([&work, &done] {
    work();
    done.set_value();
  });
  finished.wait();
}

bool CInternetEngine::Add(CURL* easy, std::shared_ptr<CEngineTransfer> transfer) {
  if (!usable || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return false;
  transfers[easy] = std::move(transfer);
  return true;
}

void CInternetEngine::Remove(CURL* easy) {
  auto it = transfers.find(easy);
  if (it == transfers.end()) return;
  curl_multi_remove_handle(multi.get(), easy);
  transfers.erase(it);
}

bool CInternetEngine::RunCommands() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard guard(mutex);
    batch.swap(commands);
    wakePending = false;
  }
  for (auto& work : batch) work();
  return !batch.empty();
}

void CInternetEngine::ReapDone() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    CURLcode result = message->data.result;
    auto it = transfers.find(easy);
    if (it == transfers.end()) continue;
    // Out of the multi handle first, so that its connection goes back to the pool; the
    // request may add the handle again (a redirect it follows).
    std::shared_ptr<CEngineTransfer> transfer = std::move(it->second);
    transfers.erase(it);
    curl_multi_remove_handle(multi.get(), easy);
    transfer->OnTransferDone(result);
  }
}

void CInternetEngine::Loop() {
  for (;;) {
    RunCommands();
    int running = 0;
    curl_multi_perform(multi.get(), &running);
    ReapDone();
    long timeout = -1;
    curl_multi_timeout(multi.get(), &timeout);
    if (timeout < 0 || timeout > kIdleWakeMs) timeout = kIdleWakeMs;
    {
      std::lock_guard guard(mutex);
      if (!commands.empty()) timeout = 0;
    }
    curl_waitfd woken{wake.WaitFd(), CURL_WAIT_POLLIN, 0};
    curl_multi_poll(multi.get(), &woken, 1, static_cast<int>(timeout), nullptr);
    // Cleared before the commands are taken, so a wake-up sent meanwhile is not lost.
    if (woken.revents & CURL_WAIT_POLLIN) wake.Reset();
  }
}
