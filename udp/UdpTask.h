// One UDP socket bound to an ephemeral local port, talking to one server, with one or two
// worker threads, a queue of datagrams to send and a count of replies still to read. Results
// leave only as messages posted to the owner thread's window; the task never calls the host.
//
// Threads: the service's callers enter CreateSocket, CreateThread, SendData, RemoveTask,
// Close and ResetDomainStatus (the window threads' time-out pass enters RemoveTask); the
// task's own worker threads run Send, Recv and the waits. While a channel's sending thread
// waits with nothing queued, SendData sends a datagram at once on the caller's thread, with
// the same log lines and posts, unless the address is unresolved or the socket would block.
// Sends never overlap: datagrams queued during a send at once wait for it to end.
// Locks: `queueLock` guards sendQueue, pendingReceives and the idle flags; `stopLock` guards
// stopped; `addressLock` guards serverAddress; `postOrderLock` guards the send counts and
// heldReplies. Each sendto counts as begun before it is made and as reported once its outcome
// is posted; a reply read while a send is under way is held and posted by that sender after
// its own result, and so is one read while the sender posts them, so replies keep the order
// they were read in. So a request's send result always reaches the window before its reply, and
// neither side waits for the other. The service's lock may be held while queueLock or
// stopLock is taken, never the other way round; no lock is held while a thread waits for
// work, nor across a post.
// Wake-ups: a worker sets its idle flag (under queueLock, after finding no work) just before
// it waits without limit, and the work event of its side is set only while that flag is set,
// so a busy worker costs its producers no signal. After a reply the receiving thread keeps
// reading the socket for one receive time-out before it goes idle, so that in a run of
// exchanges the sending thread need not wake it: the next reply does.
// Ownership: always held by a std::shared_ptr. The service holds a channel's task; each worker
// thread holds one reference, so the task lives until its last thread has ended. The socket,
// events and threads are owned by the task.
#ifndef ZVNET_UDP_UDPTASK_H_
#define ZVNET_UDP_UDPTASK_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/CriticalSection.h"
#include "platform/win32/Event.h"
#include "platform/win32/SocketWaitable.h"
#include "platform/win32/Thread.h"
#include "platform/win32/WinTypes.h"
#include "platform/winsock/UdpSocket.h"
#include "udp/UdpDatagram.h"
#include "udp/UdpReplyStore.h"

class CUdpTask : public std::enable_shared_from_this<CUdpTask> {
 public:
  // taskId is the cookie of a one-shot task and 0 for a channel. Replies go into `replies`,
  // which the service reads.
  CUdpTask(int taskId, HWND window, DWORD ownerThreadId, std::shared_ptr<CUdpReplyStore> replies);
  ~CUdpTask();
  CUdpTask(const CUdpTask&) = delete;
  CUdpTask& operator=(const CUdpTask&) = delete;

  // Starts a worker thread of `role` (UDP_THREAD_*); a looping thread serves the queue until
  // Stop, a non-looping one makes one exchange and stops the task.
  long CreateThread(int role, bool loop);
  // Opens the socket bound to 0.0.0.0:0 with the send and receive time-outs; the host is
  // resolved later, before the first send.
  long CreateSocket(const char* host, unsigned short port, DWORD sendTimeoutMs,
                    DWORD recvTimeoutMs);
  long SendData(int cookie, const char* data);
  // Drops the first queued datagram with that cookie: 0 when there was one.
  long RemoveTask(int cookie);
  long Close();
  DWORD GetOwnerThreadId() const { return ownerThread; }
  HWND Window() const { return window; }
  // Names this task among all tasks of the process, never reused; the replies it reads and
  // the ends it reports carry it.
  LPARAM Origin() const { return origin; }
  long ResetDomainStatus();

  bool HasSendTask();
  bool HasRecvTask();
  // Blocks until the work event of the side (send or receive), or, with watchSocket, a
  // datagram waits on the socket: 0; E_FAIL when the stop event or a failed wait ended it.
  long WaitForTask(bool sendSide, bool watchSocket = false);
  void Stop();
  bool IsStopped();
  long Send();
  long Recv();
  // Posts unless the task is stopped or has no window: 0 when posted, else E_FAIL (the caller
  // keeps whatever lParam names).
  long PostTaskMsg(UINT msg, WPARAM wParam, LPARAM lParam);

  // Tasks alive in the process, for tests that check nothing is left behind.
  static int LiveCountForTesting();
  // Replaces sendto for every task, so tests can make it fail, time out or send part of a
  // datagram; null restores sendto.
  // flags is 0 or CUdpSocket::kNoWait.
  using SendToFn = ssize_t (*)(CUdpSocket::Handle socket, const void* buffer, size_t length,
                               int flags, const sockaddr* to, socklen_t toLength);
  static void SetSendToForTesting(SendToFn fn);
  // Runs on the posting thread after every message a task posts, so tests can hold that
  // thread between two posts; null removes it.
  using PostedFn = void (*)(UINT msg, WPARAM wParam);
  static void SetPostedHookForTesting(PostedFn fn);

 private:
  struct QueuedDatagram {
    int cookie = 0;
    std::string payload;
  };

  // A reply waiting for the send under way to post its result.
  struct HeldReply {
    uint32_t cookie;
    LPARAM name;  // in the reply store
  };
  // What ended a wait of the receiving thread.
  enum class Wake { kWork, kDatagram, kStopped };
  // One recvfrom's outcome, as ReceiveOnce gives it.
  struct ReadAhead {
    unsigned char bytes[kUdpMaxReplySize] = {};
    sockaddr_in from{};
    ssize_t length = -1;
    int error = 0;
  };

  void ThreadMain(int role, bool loop);
  void SendLoop();
  void RecvLoop();
  void SendRecvLoop();
  long DomainNameToAddr();
  // Marks the side's worker idle unless work arrived meanwhile (then false: look again).
  // acceptsSendsAtOnce: SendData may send in the sending thread's place while it waits.
  bool MarkSenderIdle(bool acceptsSendsAtOnce);
  bool MarkReceiverIdle();
  // Waits for the receive event, the stop event or a datagram on the socket, in that order of
  // precedence.
  Wake WaitForReceiveSide();
  bool HasUnreadDatagram() const;
  // One recvfrom into `buffer`: the byte count, or -1 with `error` set. A datagram longer than
  // the buffer fails, as it does with Winsock (CUdpSocket::IsTooLong).
  ssize_t ReceiveOnce(unsigned char* buffer, sockaddr_in* from, int* error);
  bool IsFromServer(const sockaddr_in& from);
  sockaddr_in ServerAddress();
  // Sends on the calling thread a datagram that no queued one precedes: false, with nothing
  // logged or posted, when the socket would block.
  bool SendAtOnce(int cookie, const char* data);
  // Logs and posts the outcome of a sendto of `length` bytes, between BeginSend and EndSend.
  long ReportSent(WPARAM cookie, ssize_t sent, int error, size_t length);
  void BeginSend();
  // Also posts the replies held while the send was under way.
  void EndSend();
  void PostReply(uint32_t cookie, const unsigned char* scrambled, int length);
  // WM_UDPTASK_RECV_COMPLETE with the reply named `name`, which ends its request.
  void PostReplyMessage(uint32_t cookie, LPARAM name);
  // One read of at most the receive time-out: false when it timed out with nothing read.
  bool ReadOnce(ReadAhead* datagram);
  // Recv, with `first` (when not null) standing for the result of its first recvfrom.
  long ReceiveReply(const ReadAhead* first);

  const int taskId;
  const LPARAM origin;
  const HWND window;
  const DWORD ownerThread;
  const std::shared_ptr<CUdpReplyStore> replies;

  CUdpSocket socket;
  std::atomic<bool> socketReady{false};  // set once CreateSocket succeeded
  DWORD recvTimeout = 0;                 // written by CreateSocket before any thread starts
  std::mutex addressLock;
  sockaddr_in serverAddress{};  // destination of every datagram; source of every reply

  CThread sendThread;
  CThread recvThread;
  CThread sendRecvThread;

  CCriticalSection stopLock;
  bool stopped = false;

  CCriticalSection queueLock;
  std::deque<QueuedDatagram> sendQueue;  // oldest first
  int pendingReceives = 0;               // datagrams sent whole and not yet matched by a Recv;
                                         // never below -1
  bool sendIdle = false;                 // the thread that sends waits for sendEvent without limit
  bool sendsAtOnce = false;              // ... and SendData may send in its place meanwhile
  bool sendingAtOnce = false;            // a SendData is sending in its place now
  bool recvIdle = false;                 // the receiving thread waits for recvEvent without limit

  CEvent sendEvent{CEvent::ResetMode::kAuto};
  CEvent recvEvent{CEvent::ResetMode::kAuto};
  CEvent stopEvent{CEvent::ResetMode::kManual};
  std::mutex postOrderLock;
  uint64_t sendsStarted = 0;           // sendto calls begun
  uint64_t sendsReported = 0;          // of those, the ones whose outcome has been posted
  std::vector<HeldReply> heldReplies;  // read while a send was under way; oldest first
  bool postingHeld = false;            // a sender posts held replies: newer ones wait too

  std::string host;  // written by CreateSocket before any thread starts
  unsigned short port = 0;
  std::atomic<bool> resolved{false};
};

#endif  // ZVNET_UDP_UDPTASK_H_
