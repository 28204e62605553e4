#include "platform/InternetEngine.h"

#include <future>

#include "platform/InternetRequest.h"
#include "platform/NoDestructor.h"

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
  curl_global_init(CURL_GLOBAL_DEFAULT);
  multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, kMaxPooledConnections);
  share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &CInternetEngine::LockShare);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &CInternetEngine::UnlockShare);
  curl_share_setopt(share, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  // The thread runs until the process ends, like WinINet's own threads.
  std::thread thread([this] { Loop(); });
  threadId = thread.get_id();
  thread.detach();
}

void CInternetEngine::LockShare(CURL*, curl_lock_data data, curl_lock_access, void* self) {
  static_cast<CInternetEngine*>(self)->shareLocks[data].lock();
}

void CInternetEngine::UnlockShare(CURL*, curl_lock_data data, void* self) {
  static_cast<CInternetEngine*>(self)->shareLocks[data].unlock();
}

void CInternetEngine::Post(std::function<void()> work) {
  if (IsEngineThread()) {
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
  if (IsEngineThread()) {
    work();
    return;
  }
  std::lock_guard guard(mutex);
  commands.push_back(std::move(work));
}

void CInternetEngine::Call(const std::function<void()>& work) {
  if (IsEngineThread()) {
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

bool CInternetEngine::Add(CURL* easy, std::shared_ptr<CInternetRequest> request) {
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return false;
  transfers[easy] = std::move(request);
  return true;
}

void CInternetEngine::Remove(CURL* easy) {
  auto it = transfers.find(easy);
  if (it == transfers.end()) return;
  curl_multi_remove_handle(multi, easy);
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
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    CURLcode result = message->data.result;
    auto it = transfers.find(easy);
    if (it == transfers.end()) continue;
    // Out of the multi handle first, so that its connection goes back to the pool; the
    // request may add the handle again (a redirect it follows).
    std::shared_ptr<CInternetRequest> request = std::move(it->second);
    transfers.erase(it);
    curl_multi_remove_handle(multi, easy);
    request->OnTransferDone(result);
  }
}

void CInternetEngine::Loop() {
  for (;;) {
    RunCommands();
    int running = 0;
    curl_multi_perform(multi, &running);
    ReapDone();
    long timeout = -1;
    curl_multi_timeout(multi, &timeout);
    if (timeout < 0 || timeout > kIdleWakeMs) timeout = kIdleWakeMs;
    {
      std::lock_guard guard(mutex);
      if (!commands.empty()) timeout = 0;
    }
    curl_waitfd woken{wake.WaitFd(), CURL_WAIT_POLLIN, 0};
    curl_multi_poll(multi, &woken, 1, static_cast<int>(timeout), nullptr);
    // Cleared before the commands are taken, so a wake-up sent meanwhile is not lost.
    if (woken.revents & CURL_WAIT_POLLIN) wake.Reset();
  }
}
