// Downloads into files from a server that misbehaves at random: it cuts connections at random
// byte offsets, resets them, stalls before the head or the body, sends garbage header lines or
// a conflicting length, or sends more body than it announced. The caller retries each failed
// download with DownloadInFileEx at the size of the ".downloading" file, as a host resumes.
// Invariants: a finished destination has exactly the resource's SHA-256, a destination never
// exists partly written, and every request gets exactly one terminal callback.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/StringConv.h"
#include "tests/faults/FaultSeed.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"

namespace {

// SHA-256 of bytes or of a file's bytes, as hex; empty when the file cannot be read.
std::string Sha256Of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
  return hex;
}

std::string FileSha256(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  return Sha256Of({std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()});
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

enum Fault { kClean, kCut, kReset, kStallHead, kStallBody, kGarbageHead, kLongerBody, kFaults };
const char* const kFaultNames[kFaults] = {"clean",      "cut",          "reset",      "stall-head",
                                          "stall-body", "garbage-head", "longer-body"};

// Answers /f/<n> with resource n, spoiled as FaultMix(seed, n, request number) decides.
class CFaultyFiles {
 public:
  CFaultyFiles(uint64_t seed, const std::vector<std::string>& contents) : seed(seed) {
    for (const std::string& content : contents) resources.emplace_back(content);
    requestsOf.assign(contents.size(), 0);
    historyOf.resize(contents.size());
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
    const Fault fault = number >= kFaultyRequests ? kClean : Pick(roll % 100);
    ++injected[fault];
    Spoil(response, fault, roll >> 8);
    {
      std::lock_guard guard(mutex);
      historyOf[file] += std::string(" ") + kFaultNames[fault] + "@" + request.Header("Range");
    }
    return response;
  }

  int Injected(Fault fault) const { return injected[fault].load(); }
  // The faults file `file` met, in order, with the range asked for: what a failure replays.
  std::string History(int file) {
    std::lock_guard guard(mutex);
    return historyOf[file];
  }

 private:
  static Fault Pick(uint64_t percent) {
    if (percent < 35) return kClean;
    if (percent < 50) return kCut;
    if (percent < 62) return kReset;
    if (percent < 67) return kStallHead;
    if (percent < 72) return kStallBody;
    if (percent < 86) return kGarbageHead;
    return kLongerBody;
  }

  static void Spoil(HttpTestResponse& response, Fault fault, uint64_t random) {
    const uint64_t length = response.body.size();
    switch (fault) {
      case kClean:
        break;
      case kCut:
        response.closeAfterBodyBytes = length == 0 ? 0 : random % length;
        break;
      case kReset:
        response.closeAfterBodyBytes = length == 0 ? 0 : random % length;
        response.resetOnClose = true;
        break;
      case kStallHead:
        // Longer than the caller's time-out; the server's stop ends it.
        response.delayBeforeHeaders = std::chrono::milliseconds(kTimeoutMs * 4);
        break;
      case kStallBody:
        // Part of the body, then nothing: the time-out keeps the part for a resumed request.
        response.stallAfterBodyBytes = length == 0 ? 0 : random % length;
        break;
      case kGarbageHead:
        SpoilHead(response, random);
        break;
      case kLongerBody: {
        response.contentLength = length;
        std::string extra(1 + random % 5000, '\0');
        for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<char>(random >> (i % 48));
        response.body += extra;
        break;
      }
      default:
        break;
    }
  }

  static void SpoilHead(HttpTestResponse& response, uint64_t random) {
    std::string junk;
    for (int i = 0; i < 40; ++i) {
      char c = static_cast<char>(1 + (random >> (i % 56)) % 254);
      junk += (c == '\r' || c == '\n') ? 'x' : c;
    }
    switch (random % 4) {
      case 0:
        response.With("X-Junk", junk);
        break;
      case 1:
        response.With(junk, "value");  // a name full of control bytes
        break;
      case 2:
        response.With("X-Split", "a\nno colon on this line " + junk);
        break;
      default:
        // A second, conflicting length before the real one.
        response.With("Content-Length", std::to_string(response.body.size() / 2 + 1));
        break;
    }
  }

  uint64_t seed;
  std::vector<CHttpTestResource> resources;
  std::mutex mutex;  // guards requestsOf and historyOf
  std::vector<int> requestsOf;
  std::vector<std::string> historyOf;
  std::atomic<int> injected[kFaults] = {};
};

struct Download {
  std::string destination;
  std::string sha;
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
    downloads[i].sha = Sha256Of(contents[i]);
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

  const auto began = std::chrono::steady_clock::now();
  int next = 0;
  size_t inFlight = 0;
  int finished = 0;
  int failures = 0;
  const auto deadline = began + 150s;
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
        EXPECT_EQ(FileSha256(download.destination), download.sha)
            << "file " << i << ": " << SizeOf(download.destination) << " of " << contents[i].size()
            << " bytes; faults:" << faulty.History(i) << " in " << download.destination;
        // ZVNET_FAULTS_DUMP=1 writes what the file should hold beside it, for comparing.
        if (std::getenv("ZVNET_FAULTS_DUMP") && FileSha256(download.destination) != download.sha) {
          std::ofstream(download.destination + ".expected") << contents[i];
        }
        EXPECT_FALSE(Exists(download.destination + ".downloading")) << "file " << i;
        download.finished = true;
        ++finished;
        --inFlight;
        continue;
      }
      ++failures;
      // A time-out is the caller's clock: the task may have put the file in place just before
      // it. Whatever is in place must then be whole, and stays so through later failures.
      if (Exists(download.destination)) {
        if (!download.landed) {
          EXPECT_EQ(end.code, DOWNLOAD_TIMEOUT)
              << "file " << i << " exists after code " << end.code;
        }
        download.landed = true;
        EXPECT_EQ(FileSha256(download.destination), download.sha) << "file " << i;
      }
      if (download.attempts >= kMaxAttempts) {
        ADD_FAILURE() << "file " << i << " never arrived";
        --inFlight;
        continue;
      }
      start(i);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
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
  for (const Download& download : downloads) {
    if (download.finished) {
      EXPECT_EQ(FileSha256(download.destination), download.sha);
    }
  }

  for (int worker : workers) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
  int faults = 0;
  std::cout << "[ faults   ]";
  for (int fault = 0; fault < kFaults; ++fault) {
    std::cout << " " << kFaultNames[fault] << "=" << faulty.Injected(static_cast<Fault>(fault));
    if (fault != kClean) faults += faulty.Injected(static_cast<Fault>(fault));
  }
  std::cout << "\n[ faults   ] " << faults << " faults injected, " << owner.size() << " requests, "
            << failures << " failed and retried (" << resumed << " at a non-zero offset), "
            << finished << "/" << kDownloads << " files whole in " << seconds << " s" << std::endl;
  // A failed run leaves its files for inspection.
  if (!HasFailure()) std::filesystem::remove_all(directory);
}
