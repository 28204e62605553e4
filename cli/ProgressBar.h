// Shows a transfer's progress on standard error: a redrawn bar with bytes, rate and ETA on a
// terminal, a plain line per second otherwise. Used on the host thread only.
#ifndef ZVNET_CLI_PROGRESSBAR_H_
#define ZVNET_CLI_PROGRESSBAR_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

class CProgressBar {
 public:
  CProgressBar(std::string_view label, bool enabled);
  // `total` is 0 while unknown.
  void Update(uint64_t held, uint64_t total);
  // Ends the display; off a terminal, the final figures get a line of their own.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(Clock::time_point now);

  std::string label;
  bool enabled;
  bool terminal;
  Clock::time_point start = Clock::now();
  Clock::time_point lastDraw{};
  uint64_t startBytes = 0;
  uint64_t lastHeld = 0;
  uint64_t lastTotal = 0;
  bool started = false;
  bool drawn = false;
};

#endif  // ZVNET_CLI_PROGRESSBAR_H_
