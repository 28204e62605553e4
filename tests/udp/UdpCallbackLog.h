// Records every ZvUdp callback of the process, for tests on Linux and Windows: which callback,
// the code, the reply payload and the thread it ran on. The callbacks are plain functions, so
// the log is one per process; the fixture clears it. Any thread may read while callbacks record.
#ifndef ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_
#define ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/NoDestructor.h"
#include "platform/win32/Thread.h"
#include "zvnet/zvudp.h"

struct UdpCallbackEvent {
  char kind;  // 'S' send callback, 'R' receive callback, 'C' one-shot callback
  int cookie;
  unsigned long userParam;
  int code;
  bool hasOut;
  std::string payload;
  DWORD threadId;
};

class CUdpCallbackLog {
 public:
  static CUdpCallbackLog& Get() {
    static NoDestructor<CUdpCallbackLog> log;
    return *log;
  }

  template <char kKind>
  static int ZV_STDCALL On(int cookie, unsigned long userParam, UDP_ERRORCODE code,
                           tagUdpOut* out) {
    UdpCallbackEvent event{kKind,          cookie, userParam,           code,
                           out != nullptr, "",     GetCurrentThreadId()};
    if (out) event.payload.assign(reinterpret_cast<const char*>(out->data), out->dataLength);
    std::unique_lock guard(Get().lock);
    Get().events.push_back(event);
    const auto observer = Get().observer;
    guard.unlock();
    if (observer) observer(event);
    return 0;
  }
  static constexpr auto OnSend = &On<'S'>;
  static constexpr auto OnRecv = &On<'R'>;
  static constexpr auto OnOneShot = &On<'C'>;

  void Clear() {
    std::lock_guard guard(lock);
    events.clear();
    observer = nullptr;
  }
  std::vector<UdpCallbackEvent> All() {
    std::lock_guard guard(lock);
    return events;
  }
  // The cookie's callbacks in order, e.g. "S1 R0:echo" or "C1 C12".
  std::string Summary(int cookie) {
    std::string text;
    std::lock_guard guard(lock);
    for (const UdpCallbackEvent& event : events) {
      if (event.cookie != cookie) continue;
      text += (text.empty() ? "" : " ") + (event.kind + std::to_string(event.code));
      if (event.hasOut) text += ':' + event.payload;
    }
    return text;
  }
  // Runs inside every callback, after the event is recorded (on the callback's thread).
  void SetObserver(std::function<void(const UdpCallbackEvent&)> hook) {
    std::lock_guard guard(lock);
    observer = std::move(hook);
  }

 private:
  std::mutex lock;
  std::vector<UdpCallbackEvent> events;
  std::function<void(const UdpCallbackEvent&)> observer;
};

#endif  // ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_
