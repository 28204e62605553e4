// Downloads into files from a server that misbehaves at random: it cuts connections at random
// byte offsets, resets them, stalls before the head or the body, sends garbage header lines or
// a conflicting length, or sends more body than it announced. The caller retries each failed
// download with DownloadInFileEx at the size of the ".downloading" file, as a host resumes.
// Invariants: a finished destination holds exactly the resource, a destination never
// exists partly written, and every request gets exactly one terminal callback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/StringConv.h"
#include "tests/faults/FaultSeed.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"

namespace {

// A file's bytes; empty when it cannot be read.
std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

#ifdef ZVNET_FAULTS_SANITIZED
constexpr int kDownloads = 60;  // sanitizers run several times slower
#else
constexpr int kDownloads = 200;
#endif
constexpr int kWorkers = 8;
constexpr size_t kInFlight = 24;
constexpr int kMaxAttempts = 40;
// After this many requests for one file the server behaves, so every download can finish.
constexpr int kFaultyRequests = 10;
constexpr unsigned kTimeoutMs = 3000;

// Answers /f/<n> with resource n, spoiled as FaultMix(seed, n, request number) decides.
class CFaultyFiles {
 public:
  CFaultyFiles(uint64_t seed, const std::vector<std::string>& contents) : seed(seed) {
    for (const std::string& content : contents) resources.emplace_back(content);
    requestsOf.assign(contents.size(), 0);
  }

  HttpTestResponse operator()(const HttpTestRequest& request) {
    const int file = std::stoi(request.path.substr(3));
    int number;
    {
      std::lock_guard guard(mutex);
      number = requestsOf[file]++;
    }
    HttpTestResponse response = resources[file](request);
    const uint64_t roll = FaultMix(seed, file, number);
    if (number < kFaultyRequests) Spoil(response, roll);
    return response;
  }

 private:
  // Spoils the answer as `roll` says: 35 % clean, else a cut, a reset, a stall before the head
  // (longer than the time-out) or in the body (the part is kept for a resumed request), a
  // garbage header line or a second, conflicting length, or more body than announced.
  static void Spoil(HttpTestResponse& response, uint64_t roll) {
    const uint64_t percent = roll % 100, random = roll >> 8, length = response.body.size();
    const uint64_t at = length == 0 ? 0 : random % length;
    std::string junk;
    for (int i = 0; i < 40; ++i) {
      const char c = static_cast<char>(1 + (random >> (i % 56)) % 254);
      junk += (c == '\r' || c == '\n') ? 'x' : c;
    }
    if (percent < 35) return;
    if (percent < 62) {
      response.closeAfterBodyBytes = at;
      response.resetOnClose = percent >= 50;
    } else if (percent < 67) {
      response.delayBeforeHeaders = std::chrono::milliseconds(kTimeoutMs * 4);
    } else if (percent < 72) {
      response.stallAfterBodyBytes = at;
    } else if (percent < 86) {
      const std::pair<std::string, std::string> lines[] = {
          {"X-Junk", junk},
          {junk, "value"},  // a name full of control bytes
          {"X-Split", "a\nno colon on this line " + junk},
          {"Content-Length", std::to_string(length / 2 + 1)}};
      response.With(lines[random % 4].first, lines[random % 4].second);
    } else {
      response.contentLength = length;
      std::string extra(1 + random % 5000, '\0');
      for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<char>(random >> (i % 48));
      response.body += extra;
    }
  }

  uint64_t seed;
  std::vector<CHttpTestResource> resources;
  std::mutex mutex;  // guards requestsOf
  std::vector<int> requestsOf;
};

struct Download {
  std::string destination;
  int attempts = 0;
  int current = 0;  // task id in flight, 0 when none
  bool finished = false;
  bool landed = false;  // in place although its request timed out
};

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

uint64_t SizeOf(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

}  // namespace

TEST(ResumeUnderFaults, EveryFileArrivesWholeOrNotAtAll) {
  const uint64_t seed = FaultSeed();
  std::vector<std::string> contents;
  for (int i = 0; i < kDownloads; ++i) {
    std::string content(20000 + FaultMix(seed, 1000000 + i) % 280000, '\0');
    uint64_t state = FaultMix(seed, 2000000 + i);
    for (size_t k = 0; k < content.size(); ++k) {
      if (k % 8 == 0) state = FaultMix(state, k);
      content[k] = static_cast<char>(state >> (8 * (k % 8)));
    }
    contents.push_back(std::move(content));
  }
  CFaultyFiles faulty(seed, contents);
  CHttpTestServer server;
  for (int i = 0; i < kDownloads; ++i) {
    server.Handle("/f/" + std::to_string(i),
                  [&faulty](const HttpTestRequest& request) { return faulty(request); });
  }

  char dirTemplate[] = "/tmp/zvnet-faults-XXXXXX";
  ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
  const std::string directory = dirTemplate;
  std::vector<Download> downloads(kDownloads);
  for (int i = 0; i < kDownloads; ++i) {
    downloads[i].destination = directory + "/file-" + std::to_string(i) + ".bin";
  }

  ASSERT_EQ(ZvHttp::Init(), 0);
  std::vector<int> workers(kWorkers);
  for (int& worker : workers) ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);

  CHttpCallbackLog log;
  std::map<int, int> owner;  // task id -> download
  int resumed = 0;           // requests queued with a non-zero offset
  auto start = [&](int index) {
    Download& download = downloads[index];
    tagDefHttpPar par;
    par.url = server.Url("/f/" + std::to_string(index));
    const uint64_t held = SizeOf(download.destination + ".downloading");
    if (held > 0) ++resumed;
    ++download.attempts;
    ASSERT_EQ(ZvHttp::DownloadInFileEx(&par, Utf8ToWide(download.destination), nullptr,
                                       static_cast<unsigned long>(held), CHttpCallbackLog::Callback,
                                       kTimeoutMs, &download.current, log.Param(),
                                       workers[index % kWorkers]),
              0);
    owner[download.current] = index;
  };

  int next = 0;
  size_t inFlight = 0;
  int finished = 0;
  const auto deadline = std::chrono::steady_clock::now() + 150s;
  while (finished < kDownloads && std::chrono::steady_clock::now() < deadline) {
    while (inFlight < kInFlight && next < kDownloads) {
      start(next++);
      ++inFlight;
    }
    ZvMsgLoop::Pump(20);
    for (int i = 0; i < next; ++i) {
      Download& download = downloads[i];
      if (download.current == 0 || !log.HasTerminal(download.current)) continue;
      const HttpEvent end = log.Terminal(download.current);
      download.current = 0;
      if (end.code == DOWNLOAD_OK) {
        EXPECT_TRUE(Contents(download.destination) == contents[i])
            << "file " << i << ": " << SizeOf(download.destination) << " of " << contents[i].size()
            << " bytes in " << download.destination;
        EXPECT_FALSE(Exists(download.destination + ".downloading")) << "file " << i;
        download.finished = true;
        ++finished;
        --inFlight;
        continue;
      }
      // A time-out is the caller's clock: the task may have put the file in place just before
      // it. Whatever is in place must then be whole, and stays so through later failures.
      if (Exists(download.destination)) {
        if (!download.landed) {
          EXPECT_EQ(end.code, DOWNLOAD_TIMEOUT)
              << "file " << i << " exists after code " << end.code;
        }
        download.landed = true;
        EXPECT_TRUE(Contents(download.destination) == contents[i]) << "file " << i;
      }
      if (download.attempts >= kMaxAttempts) {
        ADD_FAILURE() << "file " << i << " never arrived";
        --inFlight;
        continue;
      }
      start(i);
    }
  }
  EXPECT_EQ(finished, kDownloads);

  EXPECT_GT(resumed, 0) << "no stall left a part to resume from";
  // A tick more of the time-out timer: nothing may follow a terminal callback.
  PumpFor(2100ms);
  std::map<int, int> terminals;
  for (const HttpEvent& event : log.Events()) {
    ASSERT_EQ(owner.count(event.taskId), 1u) << "callback for unknown task " << event.taskId;
    if (event.IsTerminal()) ++terminals[event.taskId];
  }
  for (const auto& [taskId, index] : owner) {
    EXPECT_EQ(terminals[taskId], 1) << "task " << taskId << " of file " << index;
  }
  for (int i = 0; i < kDownloads; ++i) {
    if (downloads[i].finished) {
      EXPECT_TRUE(Contents(downloads[i].destination) == contents[i]) << "file " << i;
    }
  }

  for (int worker : workers) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
  // A failed run leaves its files for inspection.
  if (!HasFailure()) std::filesystem::remove_all(directory);
}
