// Key-to-candidate latency of zvcloud inside fcitx5: from the key event to the candidate list
// that shows the cloud's answer, with the cloud server on loopback answering at once; beside it
// the floor, a plain UDP round trip of the same payload to the same server, measured in turns
// with the keys so that both see the same machine. Also the time to the first list a key shows
// (typed text and local words, made inside the key handler without the network): fcitx5's own
// share of a key. It also counts keys whose answer was shown before the key handler returned
// (a handler that waited on the network).
//
//   zvnet_bench_fcitx5 [--keys N] [--gap-ms MS] [--out FILE] [--poll-idle]
//   FILE: JSON rows for bench/report.py. --gap-ms paces the keys (and the round trips) as a
//   person types, each after MS of quiet, instead of one right after the other's answer.
//   --poll-idle keeps idle cores polling instead of halting (/dev/cpu_dma_latency 0, root
//   only) for the run, to show what waking a halted core costs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/examples/fcitx5/FcitxThread.h"
#include "tests/support/TempFolder.h"
#include "tools/CloudCandidates.h"
#include "tools/UdpReferenceServer.h"
#include "udp/UdpDatagram.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread {
  double median = 0;
  double p99 = 0;
};

Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return {};
  return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

// Types "a", then "b" and BackSpace in turn, on fcitx5's thread: every key changes the typed
// text, so every key asks the cloud. The next key goes once the answer is shown. The keys are
// made before any is timed.
class CKeyRun {
 public:
  explicit CKeyRun(CFcitxThread& fcitx) : fcitx(fcitx) {}

  // Types `keys` more keys.
  void Run(int keys) {
    finished = std::promise<void>();
    std::future<void> done = finished.get_future();
    fcitx.Run([this, keys] {
      left = keys;
      fcitx.InputContext().onShown = [this] { OnShown(); };
      Next();
      return 0;
    });
    done.wait();
  }
  std::vector<double> cloudMicros;  // key to the list with the cloud's answer
  std::vector<double> localMicros;  // key to the first list it shows
  int answeredInsideTheHandler = 0;

 private:
  void Next() {
    if (left-- == 0) {
      fcitx.InputContext().onShown = nullptr;
      finished.set_value();
      return;
    }
    const fcitx::Key& key = typed.empty() ? letterA : typed.size() == 1 ? letterB : backSpace;
    typed = &key == &backSpace ? typed.substr(0, 1) : typed + (&key == &letterA ? "a" : "b");
    expected = CloudCandidateFor(typed);
    waiting = true;
    firstShown = false;
    sent = Clock::now();
    fcitx.TypeHere(key);
    if (!waiting) ++answeredInsideTheHandler;
  }
  void OnShown() {
    if (!waiting) return;
    const Clock::time_point now = Clock::now();
    if (!firstShown) {
      firstShown = true;
      localMicros.push_back(Micros(now - sent));
    }
    const std::vector<std::string> shown = fcitx.InputContext().Candidates();
    if (shown.empty() || shown.front() != expected) return;
    waiting = false;
    cloudMicros.push_back(Micros(now - sent));
    fcitx.Post([this] { Next(); });  // not from inside fcitx5's UI update
  }

  CFcitxThread& fcitx;
  const fcitx::Key letterA{"a"};
  const fcitx::Key letterB{"b"};
  const fcitx::Key backSpace{"BackSpace"};
  int left = 0;
  std::string typed;
  std::string expected;
  bool waiting = false;
  bool firstShown = false;
  Clock::time_point sent;
  std::promise<void> finished;
};

// The same exchange without zvnet or fcitx5: one socket, send, then block for the reply. The
// payloads are those the keys send, in the same turn.
void PlainRoundTrips(unsigned short port, int count, std::vector<double>* micros) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  unsigned char reply[2048];
  static const char* const kTyped[] = {"a", "ab", "a"};
  for (int i = 0; i < count; ++i) {
    const std::vector<unsigned char> request =
        BuildDatagram(kTyped[micros->size() % 3], static_cast<uint32_t>(micros->size() + 1));
    const Clock::time_point start = Clock::now();
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (::recv(fd, reply, sizeof reply, 0) <= 0) break;
    micros->push_back(Micros(Clock::now() - start));
  }
  ::close(fd);
}

std::string JsonRow(const char* name, const Spread& spread, size_t count) {
  char row[256];
  std::snprintf(row, sizeof row,
                "{\"run_name\": \"%s\", \"run_type\": \"iteration\", \"median_us\": %.1f, "
                "\"p99_us\": %.1f, \"samples\": %zu}",
                name, spread.median, spread.p99, count);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  int keys = 2000;
  std::string out;
  bool pollIdle = false;
  int gapMs = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--poll-idle") == 0) pollIdle = true;
    if (i + 1 < argc && std::strcmp(argv[i], "--keys") == 0) keys = std::atoi(argv[++i]);
    if (i + 1 < argc && std::strcmp(argv[i], "--out") == 0) out = argv[++i];
    if (i + 1 < argc && std::strcmp(argv[i], "--gap-ms") == 0) gapMs = std::atoi(argv[++i]);
  }
  int latencyFd = -1;
  if (pollIdle) {
    // Held while the descriptor is open: the cores stay in their polling idle state.
    const int32_t zero = 0;
    latencyFd = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
    if (latencyFd < 0 || ::write(latencyFd, &zero, sizeof zero) != sizeof zero) {
      std::fprintf(stderr, "--poll-idle: cannot write /dev/cpu_dma_latency\n");
      return 1;
    }
  }
  CTempFolder home;
  CFcitxThread::UseFolders(home.Root().string());
  CUdpReferenceServer cloud;
  if (cloud.Start() != 0) return 1;
  cloud.SetBehaviour(CloudCandidates(std::chrono::milliseconds(0)));
  std::filesystem::create_directories(home.Path("config/fcitx5/conf"));
  home.Write("config/fcitx5/conf/zvcloud.conf",
             "ServerHost=127.0.0.1\nServerPort=" + std::to_string(cloud.Port()) + "\n");

  const int turns = gapMs > 0 ? keys : 20;
  const auto gap = std::chrono::milliseconds(gapMs);
  std::vector<double> keyMicros;
  std::vector<double> localMicros;
  std::vector<double> floorMicros;
  int inside = 0;
  {
    CFcitxThread fcitx;
    if (!fcitx.IsRunning()) return 1;
    CKeyRun run(fcitx);
    for (int turn = 0; turn < turns; ++turn) {
      const int share = keys / turns + (turn < keys % turns ? 1 : 0);
      std::this_thread::sleep_for(gap);
      run.Run(share);
      std::this_thread::sleep_for(gap);
      PlainRoundTrips(cloud.Port(), share, &floorMicros);
    }
    keyMicros = run.cloudMicros;
    localMicros = run.localMicros;
    inside = run.answeredInsideTheHandler;
  }
  if (latencyFd >= 0) ::close(latencyFd);
  const Spread key = SpreadOf(keyMicros);
  const Spread local = SpreadOf(localMicros);
  const Spread floor = SpreadOf(floorMicros);
  std::printf("fcitx5 key to cloud candidate:   median %.1f us, p99 %.1f us (%zu keys)\n",
              key.median, key.p99, keyMicros.size());
  std::printf("fcitx5 key to local candidates:  median %.1f us, p99 %.1f us\n", local.median,
              local.p99);
  std::printf("plain UDP round trip (floor):    median %.1f us, p99 %.1f us (%zu)\n", floor.median,
              floor.p99, floorMicros.size());
  std::printf("median over the floor: %.2fx; answers shown inside the key handler: %d%s%s\n",
              floor.median > 0 ? key.median / floor.median : 0.0, inside,
              gapMs > 0 ? " (keys paced)" : "", pollIdle ? " (idle cores polling)" : "");
  if (!out.empty()) {
    std::ofstream json(out);
    json << "{\"benchmarks\": [" << JsonRow("fcitx5 key to cloud candidate", key, keyMicros.size())
         << ", " << JsonRow("fcitx5 key to local candidates", local, localMicros.size()) << ", "
         << JsonRow("plain UDP round trip (floor)", floor, floorMicros.size())
         << ", {\"run_name\": \"fcitx5 answers inside the key handler\", \"run_type\": "
            "\"iteration\", \"count\": "
         << inside << "}]}\n";
  }
  return keyMicros.size() == static_cast<size_t>(keys) ? 0 : 1;
}
