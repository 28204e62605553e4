// The route trace of the performance report: one ICMP echo per TTL towards the host, 1, 2,
// ... up to 127, each waiting up to a second, until the host itself answers. A router that
// answers is a hop with its address and round-trip time; one that stays silent is a hop
// without address and with time -1.
//
// Runs on the calling thread (a worker's). `stop` may be signalled from any thread and ends a
// running trace within moments; the object does not own it.
#ifndef ZVNET_HTTP_REPORT_ROUTETRACE_H_
#define ZVNET_HTTP_REPORT_ROUTETRACE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

class CRouteTrace {
 public:
  struct Hop {
    std::string address;  // dotted text; empty when no answer came
    int32_t roundTripMs = -1;
  };

  explicit CRouteTrace(const CWaitable* stop) : stop(stop) {}
  CRouteTrace(const CRouteTrace&) = delete;
  CRouteTrace& operator=(const CRouteTrace&) = delete;

  // Probes towards the host's first IPv4 address. A host that does not resolve, or no ICMP
  // socket (or an echo that finds ICMP not permitted), gives no hops.
  void Run(const std::wstring& host);
  // Probes towards an address already found (network byte order).
  void RunTo(uint32_t address);
  // The hops, each "address[ms]", in order.
  std::wstring Format() const;

  const std::vector<Hop>& Hops() const { return hops; }
  bool WasStopped() const { return stopped; }

 private:
  const CWaitable* stop;
  uint32_t destination = 0;  // network byte order
  uint8_t maxHops = 128;     // TTLs below this are probed
  DWORD probeTimeoutMs = 1000;
  std::vector<Hop> hops;
  bool stopped = false;
};

#endif  // ZVNET_HTTP_REPORT_ROUTETRACE_H_
