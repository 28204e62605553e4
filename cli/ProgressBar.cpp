#include "cli/ProgressBar.h"

#include <unistd.h>

#include <cstdio>

#include "cli/Text.h"

namespace {

bool StderrIsTerminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;  // asked once, not per transfer
  return terminal;
}

}  // namespace

CProgressBar::CProgressBar(std::string_view label, bool enabled)
    // A bar that is never drawn needs no label.
    : label(enabled ? EscapeForTerminal(label) : std::string()),
      enabled(enabled),
      terminal(enabled && StderrIsTerminal()) {}

void CProgressBar::Update(uint64_t held, uint64_t total) {
  if (!enabled) return;
  const auto now = Clock::now();
  if (!started) {
    started = true;
    start = now;
    startBytes = held;  // a resumed download's rate counts only this run's bytes
  }
  lastHeld = held;
  lastTotal = total;
  const auto sinceDraw = now - lastDraw;
  if (drawn && sinceDraw < (terminal ? std::chrono::milliseconds(100) : std::chrono::seconds(1))) {
    return;
  }
  Draw(now);
}

void CProgressBar::Draw(Clock::time_point now) {
  const uint64_t held = lastHeld;
  const uint64_t total = lastTotal;
  lastDraw = now;
  drawn = true;
  const double seconds = std::chrono::duration<double>(now - start).count();
  const double rate = seconds > 0 ? static_cast<double>(held - startBytes) / seconds : 0;
  std::string line = label + " " + FormatBytes(held);
  if (total > 0) {
    const int percent = static_cast<int>(held * 100 / total);
    line += " / " + FormatBytes(total) + " (" + std::to_string(percent) + "%)";
  }
  line += "  " + FormatBytes(static_cast<uint64_t>(rate)) + "/s";
  if (total > held && rate > 0) {
    line += "  ETA " + std::to_string(static_cast<int>((total - held) / rate)) + " s";
  }
  if (terminal) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void CProgressBar::Finish() {
  if (!enabled || !drawn) return;
  Draw(Clock::now());  // the final figures, which throttling may have skipped
  if (terminal) std::fputc('\n', stderr);
  drawn = false;
}
