// Records every ZvUdp callback of the process, for tests: which callback, the code, the reply
// payload and the thread it ran on. The callbacks are plain functions, so the log is one per
// process; the fixture clears it. Any thread may read while callbacks record.
#ifndef ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_
#define ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/WinTypes.h"
#include "zvnet/zvudp.h"

struct UdpCallbackEvent {
  char kind = '?';  // 'S' send callback, 'R' receive callback, 'C' one-shot callback
  int cookie = 0;
  unsigned long userParam = 0;
  int code = -1;
  bool hasOut = false;
  std::string payload;
  DWORD threadId = 0;
};

class CUdpCallbackLog {
 public:
  static CUdpCallbackLog& Get();

  template <char kKind>
  static int ZV_STDCALL On(int cookie, unsigned long userParam, UDP_ERRORCODE code,
                           tagUdpOut* out) {
    Get().Record(kKind, cookie, userParam, code, out);
    return 0;
  }
  static constexpr auto OnSend = &On<'S'>;
  static constexpr auto OnRecv = &On<'R'>;
  static constexpr auto OnOneShot = &On<'C'>;

  void Clear();
  std::vector<UdpCallbackEvent> All();
  // The cookie's callbacks in order, e.g. "S1 R0:echo" or "C1 C12".
  std::string Summary(int cookie);
  // Runs inside every callback, after the event is recorded (on the callback's thread).
  void SetObserver(std::function<void(const UdpCallbackEvent&)> observer);

 private:
  void Record(char kind, int cookie, unsigned long userParam, UDP_ERRORCODE code,
              const tagUdpOut* out);

  std::mutex lock;
  std::vector<UdpCallbackEvent> events;
  std::function<void(const UdpCallbackEvent&)> observer;
};

#endif  // ZVNET_TESTS_UDP_UDPCALLBACKLOG_H_
