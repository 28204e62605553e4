#include "platform/wininet/InternetEngine_linux.h"

#include <poll.h>

#include <cerrno>

#include "platform/win32/PostBatch.h"
#include "platform/wininet/InternetShare_linux.h"

namespace {

// Idle connections kept per thread: a worker talks to a few servers at a time. Each thread
// has its own pool, so the process keeps at most this many per thread that makes requests.
constexpr long kMaxPooledConnections = 8;

int ShorterWait(int waitMs, int driverMs) {
  if (driverMs < 0) return waitMs;
  return waitMs < 0 ? driverMs : std::min(waitMs, driverMs);
}

}  // namespace

// Ends the thread's engine with the thread.
class CInternetEngine::CHolder {
 public:
  ~CHolder() {
    if (engine) engine->Shutdown();
  }
  std::shared_ptr<CInternetEngine> engine;
  bool tried = false;
};

std::shared_ptr<CInternetEngine> CInternetEngine::ForThisThread() {
  thread_local CHolder holder;
  if (!holder.tried) {
    holder.tried = true;
    auto engine = std::make_shared<CInternetEngine>();
    if (CInternetShare::Get().Usable() && engine->Init()) {
      holder.engine = std::move(engine);
      CWaitDriver::Install(holder.engine.get());
    }
  }
  return holder.engine;
}

CInternetEngine::CInternetEngine() : owner(std::this_thread::get_id()) {}

CInternetEngine::~CInternetEngine() = default;

bool CInternetEngine::Init() {
  multi.reset(curl_multi_init());
  if (!multi || !wake.IsValid()) return false;
  CURLM* handle = multi.get();
  const CURLMcode results[] = {
      curl_multi_setopt(handle, CURLMOPT_MAXCONNECTS, kMaxPooledConnections),
      curl_multi_setopt(handle, CURLMOPT_SOCKETFUNCTION, &CInternetEngine::SocketThunk),
      curl_multi_setopt(handle, CURLMOPT_SOCKETDATA, this),
      curl_multi_setopt(handle, CURLMOPT_TIMERFUNCTION, &CInternetEngine::TimerThunk),
      curl_multi_setopt(handle, CURLMOPT_TIMERDATA, this),
  };
  for (CURLMcode result : results) {
    if (result != CURLM_OK) return false;
  }
  fds.push_back({wake.WaitFd(), POLLIN, 0});
  return true;
}

void CInternetEngine::Shutdown() {
  CWaitDriver::Install(nullptr);
  std::vector<std::function<void()>> left;
  {
    std::lock_guard guard(mutex);
    ended = true;
    left.swap(commands);
  }
  for (auto& work : left) work();
  RunDeferred();
  // Out of the map first: a transfer that goes with its last reference frees its own handle.
  std::map<CURL*, std::shared_ptr<CEngineTransfer>> running;
  running.swap(transfers);
  for (auto& [easy, transfer] : running) curl_multi_remove_handle(multi.get(), easy);
  running.clear();
  multi.reset();
}

void CInternetEngine::Post(std::function<void()> work) {
  if (IsOwnerThread()) {
    if (driving) {
      deferred.push_back(std::move(work));
    } else {
      work();
    }
    return;
  }
  bool needsWake;
  {
    std::unique_lock lock(mutex);
    if (ended) {
      lock.unlock();
      work();
      return;
    }
    // One wake-up on its way is enough: the owner takes every queued command after it.
    needsWake = !wakePending;
    wakePending = true;
    commands.push_back(std::move(work));
  }
  if (needsWake) wake.Set();
}

void CInternetEngine::PostLazy(std::function<void()> work) {
  if (IsOwnerThread()) {
    Post(std::move(work));
    return;
  }
  std::unique_lock lock(mutex);
  if (ended) {
    lock.unlock();
    work();
    return;
  }
  commands.push_back(std::move(work));
}

bool CInternetEngine::Add(CURL* easy, std::shared_ptr<CEngineTransfer> transfer) {
  if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return false;
  transfers[easy] = std::move(transfer);
  return true;
}

void CInternetEngine::Remove(CURL* easy) {
  auto it = transfers.find(easy);
  if (it == transfers.end()) return;
  curl_multi_remove_handle(multi.get(), easy);
  transfers.erase(it);
}

bool CInternetEngine::RunUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Inside its own work (or after the thread's end) the engine cannot run: only wait.
  const bool canRun = CWaitDriver::Current() == this;
  std::vector<pollfd> polled;
  for (;;) {
    if (done()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (!canRun) {
      ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 10)));
      continue;
    }
    if (TimeoutMs() == 0) {
      Run({});
      continue;
    }
    polled.assign(fds.begin(), fds.end());
    const int waitMs =
        ShorterWait(ShorterWait(static_cast<int>(left), TimeoutMs()), CPostBatch::WakeDueInMs());
    if (::poll(polled.data(), polled.size(), waitMs) < 0 && errno != EINTR) return false;
    CPostBatch::WakeIfDue();
    Run(polled);
  }
}

int CInternetEngine::TimeoutMs() const {
  if (!deferred.empty()) return 0;
  if (!timerSet) return -1;
  const auto left = timerDue - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: a wait that ends before the timer would only wake to wait again.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void CInternetEngine::RunDue(std::span<const pollfd> ready) {
  if (!ready.empty() && (ready[0].revents & POLLIN)) wake.Reset();
  RunCommands();
  // Copied first: libcurl changes `fds` while it runs.
  constexpr size_t kOnStack = 8;
  std::pair<curl_socket_t, int> onStack[kOnStack];
  std::vector<std::pair<curl_socket_t, int>> onHeap;
  size_t count = 0;
  for (size_t i = 1; i < ready.size(); ++i) {
    const short revents = ready[i].revents;
    if (!revents) continue;
    const int events = ((revents & (POLLIN | POLLHUP)) ? CURL_CSELECT_IN : 0) |
                       ((revents & POLLOUT) ? CURL_CSELECT_OUT : 0) |
                       ((revents & POLLERR) ? CURL_CSELECT_ERR : 0);
    if (count < kOnStack) {
      onStack[count++] = {ready[i].fd, events};
    } else {
      onHeap.emplace_back(ready[i].fd, events);
    }
  }
  for (size_t i = 0; i < count; ++i) Act(onStack[i].first, onStack[i].second);
  for (const auto& [socket, events] : onHeap) Act(socket, events);
  if (timerSet && timerDue <= Clock::now()) {
    timerSet = false;
    Act(CURL_SOCKET_TIMEOUT, 0);
  }
  ReapDone();
  RunDeferred();
}

void CInternetEngine::Act(curl_socket_t socket, int events) {
  driving = true;
  int running = 0;
  curl_multi_socket_action(multi.get(), socket, events, &running);
  driving = false;
}

void CInternetEngine::RunCommands() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard guard(mutex);
    if (commands.empty()) return;
    batch.swap(commands);
    wakePending = false;
  }
  for (auto& work : batch) work();
}

void CInternetEngine::RunDeferred() {
  while (!deferred.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(deferred);
    for (auto& work : batch) work();
  }
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
    // transfer may add a new handle (a redirect it follows).
    std::shared_ptr<CEngineTransfer> transfer = std::move(it->second);
    transfers.erase(it);
    curl_multi_remove_handle(multi.get(), easy);
    transfer->OnTransferDone(result);
  }
}

void CInternetEngine::OnSocket(curl_socket_t socket, int what) {
  auto it = fds.begin() + 1;
  while (it != fds.end() && it->fd != socket) ++it;
  if (what == CURL_POLL_REMOVE) {
    if (it != fds.end()) fds.erase(it);
    return;
  }
  const short events = static_cast<short>(((what & CURL_POLL_IN) ? POLLIN : 0) |
                                          ((what & CURL_POLL_OUT) ? POLLOUT : 0));
  if (it == fds.end()) {
    fds.push_back({socket, events, 0});
  } else {
    it->events = events;
  }
}

int CInternetEngine::SocketThunk(CURL*, curl_socket_t socket, int what, void* self, void*) {
  static_cast<CInternetEngine*>(self)->OnSocket(socket, what);
  return 0;
}

int CInternetEngine::TimerThunk(CURLM*, long timeoutMs, void* self) {
  auto* engine = static_cast<CInternetEngine*>(self);
  engine->timerSet = timeoutMs >= 0;
  if (timeoutMs >= 0) engine->timerDue = Clock::now() + std::chrono::milliseconds(timeoutMs);
  return 0;
}
