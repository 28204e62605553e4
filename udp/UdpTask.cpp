#include "udp/UdpTask.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/Log.h"
#include "platform/win32/Ime.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Wait.h"
#include "udp/UdpDatagram.h"

namespace {

constexpr int kRecvAttempts = 3;
constexpr int kFewestPendingReceives = -1;

std::atomic<int> liveTasks{0};
std::atomic<LPARAM> lastOrigin{0};
std::atomic<CUdpTask::SendToFn> sendToFn{nullptr};
std::atomic<CUdpTask::PostedFn> postedHook{nullptr};

// The bytes sent, or -1 with *error set.
ssize_t CallSendTo(const CUdpSocket& socket, const void* buffer, size_t length,
                   const sockaddr_in& to, int flags, int* error) {
  CUdpTask::SendToFn fn = sendToFn.load();
  if (!fn) return socket.SendTo(buffer, length, to, flags, error);
  const ssize_t sent =
      fn(socket.Get(), buffer, length, flags, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  *error = sent < 0 ? errno : 0;
  return sent;
}

bool IsTimeout(int error) {
  return CUdpSocket::IsTimeout(error);
}

}  // namespace

CUdpTask::CUdpTask(int taskId, HWND window, DWORD ownerThreadId,
                   std::shared_ptr<CUdpReplyStore> replies)
    : taskId(taskId),
      origin(lastOrigin.fetch_add(1) + 1),
      window(window),
      ownerThread(ownerThreadId),
      replies(std::move(replies)) {
  liveTasks.fetch_add(1);
}

CUdpTask::~CUdpTask() {
  liveTasks.fetch_sub(1);
}

int CUdpTask::LiveCountForTesting() {
  return liveTasks.load();
}

void CUdpTask::SetSendToForTesting(SendToFn fn) {
  sendToFn.store(fn);
}

void CUdpTask::SetPostedHookForTesting(PostedFn fn) {
  postedHook.store(fn);
}

long CUdpTask::CreateThread(int role, bool loop) {
  WriteLog(LOG_TRACE, L"CUdpTask::CreateThread Type: %d", role);
  if (static_cast<unsigned>(role) > UDP_THREAD_SEND_RECV) return E_FAIL;
  if (sendRecvThread.IsStarted()) return E_FAIL;
  if (sendThread.IsStarted() && role != UDP_THREAD_RECV) return E_FAIL;
  if (recvThread.IsStarted() && role == UDP_THREAD_SEND) return E_FAIL;
  // A second thread of the same role would have no handle to live in.
  if (recvThread.IsStarted() && role == UDP_THREAD_RECV) return E_FAIL;

  CThread& slot = role == UDP_THREAD_SEND   ? sendThread
                  : role == UDP_THREAD_RECV ? recvThread
                                            : sendRecvThread;
  // The thread's own reference keeps the task alive until the thread ends.
  if (!slot.Start([self = shared_from_this(), role, loop] { self->ThreadMain(role, loop); })) {
    WriteLog(LOG_FAIL, L"CUdpTask::CreateThread Error");
    return E_FAIL;
  }
  return S_OK;
}

void CUdpTask::ThreadMain(int role, bool loop) {
  ImmDisableIME(0);
  if (loop) {
    if (role == UDP_THREAD_SEND) SendLoop();
    if (role == UDP_THREAD_RECV) RecvLoop();
    if (role == UDP_THREAD_SEND_RECV) SendRecvLoop();
    return;
  }
  if (role != UDP_THREAD_RECV) Send();
  if (role != UDP_THREAD_SEND) Recv();
  Stop();
}

// Drains the queue before each wait, also after Stop (its posts are then suppressed). While
// it waits, SendData may send in its place (SendAtOnce).
void CUdpTask::SendLoop() {
  for (;;) {
    if (HasSendTask()) {
      Send();
    } else if (MarkSenderIdle(true) && WaitForTask(true) != S_OK) {
      break;
    }
  }
  CAutoLock guard(queueLock);
  sendIdle = false;  // gone: nothing more is sent in its place
}

// Reads one reply for every datagram sent, and also any datagram that arrives while no reply
// is expected: a reply later than the receive time-outs is still read at once, instead of
// waiting in the socket to be mistaken for the reply of the next request. After each reply
// the thread lingers in a read of one receive time-out instead of going idle: in a run of
// exchanges the next reply wakes it and no send has to, and a datagram sent without reply is
// noticed when that read times out, so its Recv starts at most one time-out later.
void CUdpTask::RecvLoop() {
  bool lingering = false;
  for (;;) {
    if (HasRecvTask()) {
      Recv();
      lingering = recvTimeout > 0;
      continue;
    }
    if (lingering && !IsStopped()) {
      ReadAhead first;
      lingering = ReadOnce(&first);
      if (lingering) ReceiveReply(&first);
      continue;
    }
    lingering = false;
    if (!MarkReceiverIdle()) continue;
    switch (WaitForReceiveSide()) {
      case Wake::kWork:
        break;
      case Wake::kDatagram:
        Recv();
        lingering = recvTimeout > 0;
        break;
      case Wake::kStopped:
        return;
    }
  }
}

// Each queued datagram is sent and its reply read, in turn. The loop leaves as soon as the
// task is stopped: nothing it would do afterwards could be reported.
void CUdpTask::SendRecvLoop() {
  for (;;) {
    if (IsStopped()) return;
    if (HasSendTask()) {
      if (Send() == S_OK) Recv();
    } else if (HasUnreadDatagram()) {
      Recv();
    } else if (MarkSenderIdle(false) && WaitForTask(true, true) != S_OK) {
      return;
    }
  }
}

long CUdpTask::CreateSocket(const char* hostName, unsigned short serverPort, DWORD sendTimeoutMs,
                            DWORD recvTimeoutMs) {
  WriteLog(LOG_TRACE, L"CUdpTask::CreateSocket");
  // Winsock's start-up (Error1) is part of opening the socket here.
  CUdpSocket opened;
  if (!opened.Open()) {
    WriteLog(LOG_FAIL, L"CUdpTask::CreateSocket Error2");
    return E_FAIL;
  }
  if (!opened.BindAnyPort()) {
    WriteLog(LOG_FAIL, L"CUdpTask::CreateSocket Error3");
    return E_FAIL;
  }
  const int localPort = opened.LocalPort();
  if (localPort >= 0) WriteLog(LOG_TRACE, L"CUdpTask::CreateSocket Port:%d", localPort);
  opened.SetTimeouts(sendTimeoutMs, recvTimeoutMs);

  socket = std::move(opened);
  recvTimeout = recvTimeoutMs;
  host = hostName ? hostName : "";
  port = serverPort;
  resolved.store(false);
  socketReady.store(true);
  return S_OK;
}

long CUdpTask::DomainNameToAddr() {
  if (resolved.load()) {
    WriteLog(LOG_TRACE, L"CUdpTask::DomainNameToAddr No Need");
    return S_FALSE;
  }
  if (host.empty()) {
    WriteLog(LOG_FAIL, L"CUdpTask::DomainNameToAddr Error2");
    return E_FAIL;
  }
  char service[12];
  if (std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port)) <= 0) {
    WriteLog(LOG_FAIL, L"CUdpTask::DomainNameToAddr Error3");
    return E_FAIL;
  }
  addrinfo hints{};
  hints.ai_flags = 0;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), service, &hints, &list) != 0) {
    WriteLog(LOG_FAIL, L"CUdpTask::DomainNameToAddr Error4");
    if (list) ::freeaddrinfo(list);
    return E_FAIL;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(list, &::freeaddrinfo);
  if (!list || !list->ai_addr || list->ai_addrlen < sizeof(sockaddr_in)) {
    WriteLog(LOG_FAIL, L"CUdpTask::DomainNameToAddr Error5");
    return E_FAIL;
  }
  {
    std::lock_guard guard(addressLock);
    std::memcpy(&serverAddress, list->ai_addr, sizeof serverAddress);
  }
  if (list->ai_next) WriteLog(LOG_FAIL, L"CUdpTask::CreateSocket Multi-Address");
  resolved.store(true);
  WriteLog(LOG_TRACE, L"CUdpTask DomainNameToAddr Success");
  return S_OK;
}

long CUdpTask::ResetDomainStatus() {
  WriteLog(LOG_TRACE, L"CUdpTask::ResetDomainStatus");
  return resolved.exchange(false) ? S_OK : S_FALSE;
}

long CUdpTask::SendData(int cookie, const char* data) {
  WriteLog(LOG_TRACE, L"CUdpTask::SendData");
  if (!data || !socketReady.load()) return E_FAIL;
  bool atOnce;
  bool wake = false;
  {
    CAutoLock guard(queueLock);
    // The sending thread would take this datagram next and do nothing else: send it from here
    // and spare the round trip through that thread. Only an address already resolved, since a
    // look-up could block.
    atOnce = sendIdle && sendsAtOnce && sendQueue.empty() && !sendingAtOnce && resolved.load();
    if (atOnce) {
      sendingAtOnce = true;
    } else {
      sendQueue.push_back({cookie, std::string(data)});
      // One send at a time: what is queued during a send at once waits for it to end.
      if (!sendingAtOnce) wake = std::exchange(sendIdle, false);
    }
  }
  if (atOnce) {
    const bool sent = SendAtOnce(cookie, data);
    CAutoLock guard(queueLock);
    sendingAtOnce = false;
    // The socket would block: the sending thread waits for it, as it would have.
    if (!sent) sendQueue.push_front({cookie, std::string(data)});
    if (!sendQueue.empty()) wake = std::exchange(sendIdle, false);
  }
  if (wake) sendEvent.Set();
  return S_OK;
}

long CUdpTask::RemoveTask(int cookie) {
  CAutoLock guard(queueLock);
  for (auto it = sendQueue.begin(); it != sendQueue.end(); ++it) {
    if (it->cookie == cookie) {
      sendQueue.erase(it);
      return S_OK;
    }
  }
  return E_FAIL;
}

long CUdpTask::Close() {
  Stop();
  return S_OK;
}

bool CUdpTask::HasSendTask() {
  CAutoLock guard(queueLock);
  return !sendQueue.empty();
}

bool CUdpTask::HasRecvTask() {
  int pending;
  {
    CAutoLock guard(queueLock);
    pending = pendingReceives;
  }
  WriteLog(LOG_TRACE, L"CUdpTask::HasRecvTask %d", pending);
  return pending > 0;
}

bool CUdpTask::MarkSenderIdle(bool acceptsSendsAtOnce) {
  CAutoLock guard(queueLock);
  if (!sendQueue.empty()) return false;
  sendIdle = true;
  sendsAtOnce = acceptsSendsAtOnce;
  return true;
}

bool CUdpTask::MarkReceiverIdle() {
  CAutoLock guard(queueLock);
  if (pendingReceives > 0) return false;
  recvIdle = true;
  return true;
}

bool CUdpTask::HasUnreadDatagram() const {
  return socket.HasUnreadDatagram();
}

long CUdpTask::WaitForTask(bool sendSide, bool watchSocket) {
  const CEvent& work = sendSide ? sendEvent : recvEvent;
  const CSocketWaitable datagram(socket.Get());
  const DWORD result = watchSocket
                           ? WaitForMultipleObjects({&work, &stopEvent, &datagram}, INFINITE)
                           : WaitForMultipleObjects({&work, &stopEvent}, INFINITE);
  if (result == WAIT_OBJECT_0 || (watchSocket && result == WAIT_OBJECT_0 + 2)) return S_OK;
  return E_FAIL;
}

CUdpTask::Wake CUdpTask::WaitForReceiveSide() {
  const CSocketWaitable datagram(socket.Get());
  switch (WaitForMultipleObjects({&recvEvent, &stopEvent, &datagram}, INFINITE)) {
    case WAIT_OBJECT_0:
      return Wake::kWork;
    case WAIT_OBJECT_0 + 2:
      return Wake::kDatagram;
    default:
      return Wake::kStopped;  // or a failed wait, which would fail again
  }
}

void CUdpTask::Stop() {
  {
    CAutoLock guard(stopLock);
    stopped = true;
  }
  stopEvent.Set();
}

bool CUdpTask::IsStopped() {
  CAutoLock guard(stopLock);
  return stopped;
}

long CUdpTask::PostTaskMsg(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!window || IsStopped()) return E_FAIL;
  const long result = PostMessageW(window, msg, wParam, lParam) ? S_OK : E_FAIL;
  if (PostedFn hook = postedHook.load()) hook(msg, wParam);
  return result;
}

long CUdpTask::Send() {
  WriteLog(LOG_TRACE, L"CUdpTask::Send");
  QueuedDatagram next;
  {
    CAutoLock guard(queueLock);
    if (sendQueue.empty()) {
      sendEvent.Reset();
      return E_FAIL;
    }
    next = std::move(sendQueue.front());
    sendQueue.pop_front();
  }
  const WPARAM cookie = static_cast<WPARAM>(static_cast<uint32_t>(next.cookie));
  if (DomainNameToAddr() < 0) {
    // Without the origin: the request stays open and ends by its time-out.
    PostTaskMsg(WM_UDPTASK_SEND_ERROR, cookie, 0);
    return E_FAIL;
  }
  const std::vector<unsigned char> datagram =
      BuildDatagram(next.payload.c_str(), static_cast<uint32_t>(next.cookie));
  BeginSend();
  int error = 0;
  const ssize_t sent =
      CallSendTo(socket, datagram.data(), datagram.size(), ServerAddress(), 0, &error);
  const long result = ReportSent(cookie, sent, error, datagram.size());
  EndSend();
  return result;
}

bool CUdpTask::SendAtOnce(int cookie, const char* data) {
  const std::vector<unsigned char> datagram = BuildDatagram(data, static_cast<uint32_t>(cookie));
  BeginSend();
  int error = 0;
  const ssize_t sent = CallSendTo(socket, datagram.data(), datagram.size(), ServerAddress(),
                                  CUdpSocket::kNoWait, &error);
  if (sent < 0 && IsTimeout(error)) {
    EndSend();
    return false;
  }
  // The lines Send writes up to its sendto; the address was resolved, as SendData checked.
  WriteLog(LOG_TRACE, L"CUdpTask::Send");
  WriteLog(LOG_TRACE, L"CUdpTask::DomainNameToAddr No Need");
  ReportSent(static_cast<WPARAM>(static_cast<uint32_t>(cookie)), sent, error, datagram.size());
  EndSend();
  return true;
}

void CUdpTask::BeginSend() {
  std::lock_guard guard(postOrderLock);
  ++sendsStarted;
}

void CUdpTask::EndSend() {
  std::unique_lock guard(postOrderLock);
  ++sendsReported;
  // Replies read while the held ones are posted join them, so none overtakes an older one;
  // one sender at a time posts them.
  if (postingHeld) return;
  while (sendsReported == sendsStarted && !heldReplies.empty()) {
    std::vector<HeldReply> due;
    due.swap(heldReplies);
    postingHeld = true;
    guard.unlock();
    for (const HeldReply& reply : due) PostReplyMessage(reply.cookie, reply.name);
    guard.lock();
  }
  postingHeld = false;
}

sockaddr_in CUdpTask::ServerAddress() {
  std::lock_guard guard(addressLock);
  return serverAddress;
}

long CUdpTask::ReportSent(WPARAM cookie, ssize_t sent, int error, size_t length) {
  if (sent < 0) {
    WriteLog(LOG_FAIL, L"CUdpTask sendto error %d", error);
    UINT message = WM_UDPTASK_SEND_TIMEOUT;
    if (!IsTimeout(error)) {
      WriteLog(LOG_FAIL, L"CUdpTask sendto error");
      message = WM_UDPTASK_SEND_ERROR;
    }
    PostTaskMsg(message, cookie, origin);  // ends the request
    return E_FAIL;
  }
  WriteLog(LOG_TRACE, L"CUdpTask::sendto %d", static_cast<int>(sent));
  if (static_cast<size_t>(sent) == length) {
    PostTaskMsg(WM_UDPTASK_SEND_COMPLETE, cookie, 0);
    bool wake;
    {
      CAutoLock guard(queueLock);
      ++pendingReceives;
      wake = std::exchange(recvIdle, false);
    }
    if (wake) recvEvent.Set();
    return S_OK;
  }
  WriteLog(LOG_FAIL, L"CUdpTask sendto part");
  PostTaskMsg(WM_UDPTASK_SEND_PART, cookie, origin);  // ends the request
  return E_FAIL;
}

ssize_t CUdpTask::ReceiveOnce(unsigned char* buffer, sockaddr_in* from, int* error) {
  return socket.ReceiveFrom(buffer, kUdpMaxReplySize, from, error);
}

bool CUdpTask::IsFromServer(const sockaddr_in& from) {
  std::lock_guard guard(addressLock);
  return from.sin_family == AF_INET && from.sin_port == serverAddress.sin_port &&
         from.sin_addr.s_addr == serverAddress.sin_addr.s_addr;
}

bool CUdpTask::ReadOnce(ReadAhead* datagram) {
  datagram->length = ReceiveOnce(datagram->bytes, &datagram->from, &datagram->error);
  return datagram->length >= 0 || !IsTimeout(datagram->error);
}

long CUdpTask::Recv() {
  return ReceiveReply(nullptr);
}

long CUdpTask::ReceiveReply(const ReadAhead* first) {
  WriteLog(LOG_TRACE, L"CUdpTask::Recv");
  ReadAhead own;
  const unsigned char* buffer = first ? first->bytes : own.bytes;
  {
    // May go below zero when a reply is read before its send was counted: the next send then
    // expects no further reply. Sends never overlap, so one such reply at most; datagrams
    // nobody asked for must not count it down further (nor past the smallest int).
    CAutoLock guard(queueLock);
    if (pendingReceives > kFewestPendingReceives) --pendingReceives;
  }
  ssize_t n = -1;
  int error = 0;
  for (int attempt = 0; attempt < kRecvAttempts && n < 0; ++attempt) {
    sockaddr_in from{};
    if (attempt == 0 && first) {
      n = first->length;
      error = first->error;
      from = first->from;
    } else {
      n = ReceiveOnce(own.bytes, &from, &error);
      buffer = own.bytes;
    }
    if (n >= 0 && !IsFromServer(from)) {
      // Only the server may answer: anyone else could inject replies for the sequential
      // cookies. The datagram counts as one of the attempts.
      WriteLog(LOG_FAIL, L"CUdpTask recvfrom foreign sender port:%d",
               static_cast<int>(ntohs(from.sin_port)));
      n = -1;
      error = 0;
    }
  }
  if (n < 0) {
    if (error == 0) return E_FAIL;  // the last datagram was foreign, already logged
    WriteLog(LOG_TRACE, L"CUdpTask recvfrom error %d", error);
    if (!IsTimeout(error)) WriteLog(LOG_FAIL, L"CUdpTask recvfrom error");
    return E_FAIL;
  }
  WriteLog(LOG_TRACE, L"CUdpTask recvfrom end %d", static_cast<int>(n));

  UdpReplyHeader header;
  switch (CheckUdpReply(buffer, static_cast<size_t>(n), &header)) {
    case UdpReplyCheck::kLengthMismatch:
      WriteLog(LOG_FAIL, L"CUdpTask msgLen error1 %d", header.length);
      return E_FAIL;
    case UdpReplyCheck::kTooLong:
      WriteLog(LOG_FAIL, L"CUdpTask msgLen error2 %d", header.length);
      return E_FAIL;
    case UdpReplyCheck::kBadCheckSum:
      WriteLog(LOG_FAIL, L"CUdpTask checkSum error %d", static_cast<int>(header.checkSum));
      return E_FAIL;
    case UdpReplyCheck::kOk:
      break;
  }
  WriteLog(LOG_TRACE, L"CUdpTask checkSum %d", static_cast<int>(header.checkSum));
  PostReply(header.cookie, &buffer[kUdpHeaderSize], header.length);
  return S_OK;
}

void CUdpTask::PostReply(uint32_t cookie, const unsigned char* scrambled, int length) {
  // Checked before anything is built: a flood of replies nobody awaits costs no memory.
  switch (replies->Reserve(cookie, origin)) {
    case CUdpReplyStore::Refusal::kNotAwaited:
      WriteLog(LOG_FAIL, L"CUdpTask reply for cookie %u not awaited", cookie);
      return;
    case CUdpReplyStore::Refusal::kTaskFull:
      WriteLog(LOG_FAIL, L"CUdpTask reply for cookie %u dropped, the host has not taken %d", cookie,
               static_cast<int>(CUdpReplyStore::kMaxHeldPerTask));
      return;
    case CUdpReplyStore::Refusal::kNone:
      break;
  }
  const std::vector<unsigned char> plain = ScrambleBytes(scrambled, length);
  UdpOutPtr out(new tagUdpOut);
  out->code = UDP_RECV_SUCCESS;
  out->data = new unsigned char[static_cast<size_t>(length)];
  std::memcpy(out->data, plain.data(), static_cast<size_t>(length));
  out->dataLength = length;
  // The reply belongs to the message once posted; the store frees it if the message is lost.
  const LPARAM name = replies->Deposit(std::move(out), origin, window);
  {
    // A reply can only answer a datagram whose send had begun when the reply was read. While
    // a send is under way its result may not be posted yet, so the reply waits for it: the
    // sender posts it in EndSend, after its own result. Sends of a task never overlap (the
    // sending thread and a send at once take turns), so none is under way when the counts
    // agree.
    std::lock_guard guard(postOrderLock);
    if (sendsReported != sendsStarted || postingHeld) {
      heldReplies.push_back({cookie, name});
      return;
    }
  }
  PostReplyMessage(cookie, name);
}

void CUdpTask::PostReplyMessage(uint32_t cookie, LPARAM name) {
  if (PostTaskMsg(WM_UDPTASK_RECV_COMPLETE, cookie, name) != S_OK) replies->Withdraw(name);
}
