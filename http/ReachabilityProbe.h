// Whether an HTTP address can be opened now, through given proxy settings: one synchronous
// request on the calling thread, whose answer, whatever its status, counts as reachable.
// Nothing survives the call; the object only copies the proxy settings.
//
// Threads: one thread runs IsUrlReachable; any other may call Abort meanwhile. `lock` guards
// `session` and `aborted`; whoever takes `session` out of it closes it.
#ifndef ZVNET_HTTP_REACHABILITYPROBE_H_
#define ZVNET_HTTP_REACHABILITYPROBE_H_

#include <mutex>

#include "platform/wininet/WinInet.h"
#include "zvnet/zvhttp.h"

class CReachabilityProbe {
 public:
  explicit CReachabilityProbe(tagHProxyInfo proxy);
  CReachabilityProbe(const CReachabilityProbe&) = delete;
  CReachabilityProbe& operator=(const CReachabilityProbe&) = delete;

  // 1 reachable, 0 not (or `destination` is null, or the probe was aborted). Bounded by the
  // stand-in's time-outs, or by Abort.
  int IsUrlReachable(const wchar_t* destination);
  // Ends a probe in flight at once (it answers 0) by closing its session, which WinINet
  // allows from another thread; a probe not yet started answers 0 without any traffic.
  void Abort();

 private:
  const tagHProxyInfo proxy;
  std::mutex lock;
  HINTERNET session = nullptr;  // while the request runs
  bool aborted = false;
};

#endif  // ZVNET_HTTP_REACHABILITYPROBE_H_
