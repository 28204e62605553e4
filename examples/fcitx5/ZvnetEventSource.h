// Runs zvnet's deliveries for the calling thread inside fcitx5's event loop: the thread's
// zvnet descriptor is watched by the loop, and DispatchPending runs whenever it is readable,
// so callbacks and time-outs reach the engine on fcitx5's own thread without a thread or a
// Pump of ours.
//
// Made and destroyed on the thread that runs the loop and makes the zvnet requests.
#ifndef ZVNET_EXAMPLES_FCITX5_ZVNETEVENTSOURCE_H_
#define ZVNET_EXAMPLES_FCITX5_ZVNETEVENTSOURCE_H_

#include <fcitx-utils/event.h>

#include <memory>

class CZvnetEventSource {
 public:
  explicit CZvnetEventSource(fcitx::EventLoop& loop);
  CZvnetEventSource(const CZvnetEventSource&) = delete;
  CZvnetEventSource& operator=(const CZvnetEventSource&) = delete;

  // False when the thread has no zvnet descriptor: nothing would ever be delivered.
  bool IsWatching() const { return source != nullptr; }

 private:
  std::unique_ptr<fcitx::EventSourceIO> source;
};

#endif  // ZVNET_EXAMPLES_FCITX5_ZVNETEVENTSOURCE_H_
