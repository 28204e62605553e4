#include "platform/wininet/InternetRequest_linux.h"

#include <algorithm>
#include <chrono>

#include "platform/win32/MessageWindow.h"
#include "platform/wininet/InternetEngine_linux.h"
#include "platform/wininet/InternetShare_linux.h"

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

CInternetRequest::CInternetRequest(std::shared_ptr<CInternetHandle> parent, Setup setup,
                                   DWORD_PTR context)
    : CInternetHandle(INTERNET_HANDLE_TYPE_HTTP_REQUEST, parent, context),
      setup(std::move(setup)),
      async(parent->Session()->IsAsync()),
      connectTimeoutMs(parent->Session()->connectTimeoutMs.load()),
      receiveTimeoutMs(parent->Session()->receiveTimeoutMs.load()),
      bodyRing(kReceiveRing),
      uploadRing(kSendLimit) {
  securityFlags = this->setup.flags &
                  (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
}

CInternetRequest::~CInternetRequest() {
  // Close has detached the transfer; this only frees what a never-closed request holds.
  if (easy) curl_easy_cleanup(easy);
  curl_slist_free_all(headerList);
}

BOOL CInternetRequest::AddHeaders(std::string_view text, DWORD modifiers) {
  std::lock_guard guard(mutex);
  if (sent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  std::vector<std::string> lines = HeaderLines(text);
  if (lines.empty()) return Fail(ERROR_INVALID_PARAMETER);
  for (std::string& line : lines) {
    if (line.find(':') == std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
    const std::string name = Trim(std::string_view(line).substr(0, line.find(':')));
    auto same = [&](const std::string& old) { return HeaderNameIs(old, name); };
    bool exists = std::any_of(addedHeaders.begin(), addedHeaders.end(), same);
    if ((modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && exists) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      addedHeaders.erase(std::remove_if(addedHeaders.begin(), addedHeaders.end(), same),
                         addedHeaders.end());
    }
    addedHeaders.push_back(std::move(line));
  }
  return TRUE;
}

BOOL CInternetRequest::Send(std::string_view headers, std::string optional) {
  return Start(headers, std::move(optional), false, 0);
}

BOOL CInternetRequest::SendEx(std::string_view headers, uint64_t totalLength) {
  return Start(headers, {}, true, totalLength);
}

BOOL CInternetRequest::Start(std::string_view headers, std::string optional, bool isUpload,
                             uint64_t total) {
  std::unique_lock lock(mutex);
  if (sent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  // Closed before it was sent (from another thread): nothing would ever end the operation.
  if (transferDone) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
  // Without libcurl there is no transfer to start; the request stays unsent.
  if (!CInternetShare::Get().Usable()) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
  // The transfer runs on this thread, inside its waits.
  engine = CInternetEngine::ForThisThread();
  if (!engine) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
  for (std::string& line : HeaderLines(headers)) {
    if (line.find(':') != std::string::npos) addedHeaders.push_back(std::move(line));
  }
  sent = true;
  upload = isUpload;
  uploadTotal = total;
  body = std::move(optional);
  return Pend(lock, Op::kSend);
}

BOOL CInternetRequest::Pend(std::unique_lock<std::mutex>& lock, Op op, bool resume) {
  pending = op;
  opOk = false;
  opError = 0;
  lock.unlock();
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  if (op == Op::kSend) engine->Post([self] { self->Begin(); });
  if (resume) ResumeEngine();
  if (async) return Fail(ERROR_IO_PENDING);
  const DWORD limitMs = receiveTimeoutMs + (op == Op::kSend ? connectTimeoutMs : 0);
  const bool done = AwaitSync(limitMs);
  lock.lock();
  if (!done && pending != Op::kNone) {
    pending = Op::kNone;
    pendingRead = {};
    pendingWrite = {};
    transferDone = true;
    transferError = ERROR_INTERNET_TIMEOUT;
    lock.unlock();
    engine->Post([self] { self->Detach(); });
    return Fail(ERROR_INTERNET_TIMEOUT);
  }
  return opOk ? TRUE : Fail(opError);
}

bool CInternetRequest::AwaitSync(DWORD limitMs) {
  if (engine->IsOwnerThread()) {
    // The transfer runs on this thread: run it until the operation is done.
    return engine->RunUntil(
        [this] {
          std::lock_guard guard(mutex);
          return pending == Op::kNone;
        },
        limitMs);
  }
  std::unique_lock lock(mutex);
  return completed.wait_for(lock, std::chrono::milliseconds(limitMs),
                            [&] { return pending == Op::kNone; });
}

BOOL CInternetRequest::Write(const void* data, DWORD count, DWORD* written) {
  std::unique_lock lock(mutex);
  if (!upload || !sent || pending != Op::kNone) {
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  }
  if (transferDone && transferError != 0) return Fail(transferError);
  if (headersDone || transferDone) {
    // The server has answered already: the rest of the body is not wanted any more.
    *written = count;
    return TRUE;
  }
  if (uploadRing.Write(data, count)) {
    *written = count;
    bool resume = sendPaused;
    sendPaused = false;
    lock.unlock();
    if (resume) ResumeEngine();
    return TRUE;
  }
  if (count > kSendLimit) return Fail(ERROR_INVALID_PARAMETER);
  pendingWrite = {static_cast<const char*>(data), count, written};
  return Pend(lock, Op::kWrite);
}

BOOL CInternetRequest::End() {
  std::unique_lock lock(mutex);
  if (!sent || pending != Op::kNone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (headersDone) return TRUE;
  if (transferDone) return Fail(transferError);
  return Pend(lock, Op::kEnd);
}

BOOL CInternetRequest::Read(void* buffer, DWORD capacity, DWORD* length) {
  std::unique_lock lock(mutex);
  if (!sent || pending != Op::kNone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (transferDone && bodyRing.Size() == 0) {
    if (transferError != 0) return Fail(transferError);
    *length = 0;
    return TRUE;
  }
  // As in WinINet, a read fills the whole buffer unless the body ends first; what is here
  // already goes in now and the rest as it arrives.
  const DWORD taken = static_cast<DWORD>(bodyRing.Read(buffer, capacity));
  const bool resume = recvPaused && bodyRing.Size() <= kReceiveResume;
  if (resume) recvPaused = false;
  if (taken == capacity || transferDone) {
    *length = taken;
    lock.unlock();
    if (resume) ResumeEngine();
    return TRUE;
  }
  pendingRead = {static_cast<char*>(buffer), capacity, length, taken};
  return Pend(lock, Op::kRead, resume);
}

void CInternetRequest::ResumeEngine() {
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  engine->Post([self] {
    if (self->attached) curl_easy_pause(self->easy, CURLPAUSE_CONT);
  });
}

void CInternetRequest::Close() {
  {
    // Waits for a status being reported right now; none is reported after this.
    std::lock_guard guard(notifyLock);
    notifyClosed = true;
  }
  // The operation ends first: the take-down posted below wakes the request's thread, whose
  // synchronous wait must then find it ended.
  bool finished;
  std::shared_ptr<CInternetEngine> owner;
  {
    std::lock_guard guard(mutex);
    finished = transferDone;
    owner = engine;
    pending = Op::kNone;
    pendingRead = {};
    pendingWrite = {};
    transferDone = true;
    if (transferError == 0 && !headersDone) transferError = ERROR_INTERNET_OPERATION_CANCELLED;
  }
  completed.notify_all();
  // The transfer is taken down on its own thread, at once when that is this one; nothing of it
  // reaches the caller any more, so the caller need not wait for that. A finished transfer
  // holds no connection, so its handle can wait until that thread wakes anyway.
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  auto takeDown = [self] {
    self->closed = true;
    self->Detach();
  };
  if (!owner) {
    takeDown();  // never sent: nothing reached libcurl
  } else if (finished) {
    owner->PostLazy(std::move(takeDown));
  } else {
    owner->Post(std::move(takeDown));
  }
}
