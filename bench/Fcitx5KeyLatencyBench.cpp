// Key-to-candidate latency of zvcloud inside fcitx5: from the key event to the candidate list
// that shows the cloud's answer, with the cloud server on loopback answering at once; beside it
// the floor, a plain UDP round trip of the same payload to the same server. It also counts
// keys whose answer was shown before the key handler returned (a handler that waited on the
// network).
//
//   zvnet_bench_fcitx5 [--keys N] [--out FILE]   FILE: JSON rows for bench/report.py
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
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
// text, so every key asks the cloud. The next key goes once the answer is shown.
class CKeyRun {
 public:
  CKeyRun(CFcitxThread& fcitx, int keys) : fcitx(fcitx), keys(keys) {}

  std::vector<double> Run() {
    std::future<void> done = finished.get_future();
    fcitx.Run([this] {
      fcitx.InputContext().onShown = [this] { OnShown(); };
      Next();
      return 0;
    });
    done.wait();
    return micros;
  }
  int answeredInsideTheHandler = 0;

 private:
  void Next() {
    if (static_cast<int>(micros.size()) == keys) {
      fcitx.InputContext().onShown = nullptr;
      finished.set_value();
      return;
    }
    const std::string key = typed.empty() ? "a" : typed.size() == 1 ? "b" : "BackSpace";
    typed = key == "BackSpace" ? typed.substr(0, 1) : typed + key;
    expected = CloudCandidateFor(typed);
    waiting = true;
    sent = Clock::now();
    fcitx.TypeHere(key);
    if (!waiting) ++answeredInsideTheHandler;
  }
  void OnShown() {
    if (!waiting) return;
    const std::vector<std::string> shown = fcitx.InputContext().Candidates();
    if (shown.empty() || shown.front() != expected) return;
    waiting = false;
    micros.push_back(Micros(Clock::now() - sent));
    fcitx.Post([this] { Next(); });  // not from inside fcitx5's UI update
  }

  CFcitxThread& fcitx;
  const int keys;
  std::vector<double> micros;
  std::string typed;
  std::string expected;
  bool waiting = false;
  Clock::time_point sent;
  std::promise<void> finished;
};

// The same exchange without zvnet or fcitx5: one socket, send, then block for the reply.
std::vector<double> PlainRoundTrips(unsigned short port, int count) {
  std::vector<double> micros;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  unsigned char reply[2048];
  for (int i = 0; i < count; ++i) {
    const std::vector<unsigned char> request = BuildDatagram(i % 2 == 0 ? "ab" : "a", i + 1);
    const Clock::time_point start = Clock::now();
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (::recv(fd, reply, sizeof reply, 0) <= 0) break;
    micros.push_back(Micros(Clock::now() - start));
  }
  ::close(fd);
  return micros;
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
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--keys") == 0) keys = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
  }
  CTempFolder home;
  CFcitxThread::UseFolders(home.Root().string());
  CUdpReferenceServer cloud;
  if (cloud.Start() != 0) return 1;
  cloud.SetBehaviour(CloudCandidates(std::chrono::milliseconds(0)));
  std::filesystem::create_directories(home.Path("config/fcitx5/conf"));
  home.Write("config/fcitx5/conf/zvcloud.conf",
             "ServerHost=127.0.0.1\nServerPort=" + std::to_string(cloud.Port()) + "\n");

  std::vector<double> keyMicros;
  int inside = 0;
  {
    CFcitxThread fcitx;
    if (!fcitx.IsRunning()) return 1;
    CKeyRun run(fcitx, keys);
    keyMicros = run.Run();
    inside = run.answeredInsideTheHandler;
  }
  const std::vector<double> floorMicros = PlainRoundTrips(cloud.Port(), keys);
  const Spread key = SpreadOf(keyMicros);
  const Spread floor = SpreadOf(floorMicros);
  std::printf("fcitx5 key to cloud candidate: median %.1f us, p99 %.1f us (%zu keys)\n", key.median,
              key.p99, keyMicros.size());
  std::printf("plain UDP round trip (floor):  median %.1f us, p99 %.1f us (%zu)\n", floor.median,
              floor.p99, floorMicros.size());
  std::printf("median over the floor: %.2fx; answers shown inside the key handler: %d\n",
              floor.median > 0 ? key.median / floor.median : 0.0, inside);
  if (!out.empty()) {
    std::ofstream json(out);
    json << "{\"benchmarks\": [" << JsonRow("fcitx5 key to cloud candidate", key, keyMicros.size())
         << ", " << JsonRow("plain UDP round trip (floor)", floor, floorMicros.size())
         << ", {\"run_name\": \"fcitx5 answers inside the key handler\", \"run_type\": "
            "\"iteration\", \"count\": "
         << inside << "}]}\n";
  }
  return keyMicros.size() == static_cast<size_t>(keys) ? 0 : 1;
}
