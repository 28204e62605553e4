// Whether an HTTP address can be opened now, through given proxy settings: one synchronous
// request on the calling thread, whose answer, whatever its status, counts as reachable.
// Nothing survives the call; the object only copies the proxy settings.
#ifndef ZVNET_HTTP_REACHABILITYPROBE_H_
#define ZVNET_HTTP_REACHABILITYPROBE_H_

#include "zvnet/zvhttp.h"

class CReachabilityProbe {
 public:
  explicit CReachabilityProbe(tagHProxyInfo proxy);

  // 1 reachable, 0 not (or `destination` is null). Bounded by the stand-in's time-outs.
  int IsUrlReachable(const wchar_t* destination) const;

 private:
  tagHProxyInfo proxy;
};

#endif  // ZVNET_HTTP_REACHABILITYPROBE_H_
