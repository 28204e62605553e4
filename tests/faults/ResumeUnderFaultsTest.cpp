// Downloads into files where things go wrong. A server misbehaves at random: it cuts
// connections at random byte offsets, resets them, stalls before the head or the body, sends
// garbage header lines or a conflicting length, or more body than it announced; the caller
// retries each failed download with DownloadInFileEx at the size of the ".downloading" file,
// as a host resumes. The file system says no: a full disk, a read-only one. Invariants: a
// finished destination holds exactly the resource, a destination never exists partly written,
// and every request gets exactly one terminal callback.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/StringConv.h"
#include "tests/faults/FaultSeed.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"

namespace fs = std::filesystem;

namespace {

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
// A download reads its body in chunks of this size and writes only whole ones: a stopped
// task keeps the chunks it had completed.
constexpr uint64_t kChunk = 32768;
// File 0's first answer stalls after this many body bytes, so that every seed leaves at
// least one part to resume from (two whole chunks).
constexpr uint64_t kFirstStall = 2 * kChunk + 4000;

// Spoils an answer as `roll` says: 35 % clean, else a cut, a reset, a stall before the head
// (longer than the time-out) or in the body (the part is kept for a resumed request), a
// garbage header line or a second, conflicting length, or more body than announced.
void Spoil(HttpTestResponse& response, uint64_t roll) {
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
    response.body += TestBytes(1 + random % 5000, static_cast<uint32_t>(random));
  }
}

}  // namespace

TEST(ResumeUnderFaults, EveryFileArrivesWholeOrNotAtAll) {
  const uint64_t seed = FaultSeed();
  CTempFolder folder;
  const fs::path directory = folder.Path("\xc3\xa9t\xc3\xa9");
  fs::create_directory(directory);
  std::vector<std::string> contents;
  std::vector<CHttpTestResource> resources;
  std::vector<std::atomic<int>> requestsOf(kDownloads);
  // Body bytes the last answer for a file sent before it stalled; -1 when it did not stall.
  std::vector<std::atomic<int64_t>> stalledAfter(kDownloads);
  // Requests that asked for the rest of a kept part: the task found its part whole on disk.
  std::atomic<int> ranged{0};
  CHttpTestServer server;  // after what its handlers read
  for (int i = 0; i < kDownloads; ++i) {
    const uint64_t size = i == 0 ? 3 * kChunk : 20000 + FaultMix(seed, 1000000 + i) % 280000;
    contents.push_back(TestBytes(size, static_cast<uint32_t>(FaultMix(seed, 2000000 + i))));
    resources.emplace_back(contents.back());
    server.Handle("/f/" + std::to_string(i), [&, i](const HttpTestRequest& request) {
      const int number = requestsOf[i]++;
      ranged += request.HasHeader("Range");
      HttpTestResponse response = resources[i](request);
      if (i == 0 && number == 0) {
        response.stallAfterBodyBytes = kFirstStall;
      } else if (number < kFaultyRequests) {
        Spoil(response, FaultMix(seed, i, number));
      }
      stalledAfter[i] =
          response.stallAfterBodyBytes ? static_cast<int64_t>(*response.stallAfterBodyBytes) : -1;
      return response;
    });
  }
  struct Download {
    std::string destination;
    int attempts = 0;
    int current = 0;      // task id in flight, 0 when none
    uint64_t held = 0;    // bytes of the part its latest request resumed from
    bool landed = false;  // in place although its request timed out
  };
  std::vector<Download> downloads(kDownloads);
  ASSERT_EQ(ZvHttp::Init(), 0);
  std::vector<int> workers(kWorkers);
  for (int& worker : workers) ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  CHttpCallbackLog log;
  std::map<int, int> owner;  // task id -> download
  auto start = [&](int index) {
    Download& download = downloads[index];
    // Under "été/": three-byte and two-byte characters and blanks reach the file system whole.
    download.destination =
        (directory / ("\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf \xc3\xbc \xe2\x82\xac " +
                      std::to_string(index) + ".bin"))
            .string();
    tagDefHttpPar par = HttpPar(server.Url("/f/" + std::to_string(index)));
    const auto held = static_cast<unsigned long>(
        CTempFolder::ReadPath(download.destination + ".downloading").size());
    download.held = held;
    stalledAfter[index] = -1;
    ++download.attempts;
    ASSERT_EQ(ZvHttp::DownloadInFileEx(&par, Utf8ToWide(download.destination), nullptr, held,
                                       CHttpCallbackLog::Callback, kTimeoutMs, &download.current,
                                       log.Param(), workers[index % kWorkers]),
              0);
    owner[download.current] = index;
  };

  int next = 0, finished = 0;
  size_t inFlight = 0;
  const auto deadline = std::chrono::steady_clock::now() + 150s;
  while (finished < kDownloads && std::chrono::steady_clock::now() < deadline) {
    for (; inFlight < kInFlight && next < kDownloads; ++inFlight) start(next++);
    ZvMsgLoop::Pump(20);
    for (int i = 0; i < next; ++i) {
      Download& download = downloads[i];
      if (download.current == 0 || !log.HasTerminal(download.current)) continue;
      const HttpEvent end = log.Terminal(download.current);
      download.current = 0;
      const bool exists = fs::exists(download.destination);
      if (end.code == DOWNLOAD_OK || exists) {
        // A time-out is the caller's clock: the task may have put the file in place just
        // before it. Whatever is in place must then be whole, and stays so.
        EXPECT_TRUE(end.code == DOWNLOAD_OK || end.code == DOWNLOAD_TIMEOUT || download.landed)
            << "file " << i << " exists after code " << end.code;
        EXPECT_TRUE(CTempFolder::ReadPath(download.destination) == contents[i])
            << "file " << i << ": " << CTempFolder::ReadPath(download.destination).size() << " of "
            << contents[i].size() << " bytes";
        download.landed = true;
      }
      if (end.code == DOWNLOAD_OK) {
        EXPECT_FALSE(fs::exists(download.destination + ".downloading")) << "file " << i;
        ++finished;
        --inFlight;
      } else if (download.attempts >= kMaxAttempts) {
        ADD_FAILURE() << "file " << i << " never arrived";
        --inFlight;
      } else {
        // A stall ends in the caller's time-out; the stopped task then keeps the chunks it
        // had (closing it may take the worker a moment), and the next request resumes there.
        const int64_t sent = stalledAfter[i];
        const uint64_t kept = sent > 0 ? static_cast<uint64_t>(sent) / kChunk * kChunk : 0;
        if (kept > 0) {
          const fs::path part = download.destination + ".downloading";
          EXPECT_TRUE(WaitUntil([&] {
            std::error_code error;
            return fs::file_size(part, error) >= download.held + kept;
          })) << "file "
              << i << " lost the " << kept << " bytes it had before a stall";
        }
        start(i);
      }
    }
  }
  EXPECT_EQ(finished, kDownloads);
  EXPECT_GT(ranged.load(), 0) << "no kept part was resumed from";
  // A tick more of the time-out timer: nothing may follow a terminal callback.
  PumpFor(2100ms);
  std::map<int, int> terminals;
  for (const HttpEvent& event : log.Events()) {
    ASSERT_EQ(owner.count(event.taskId), 1u) << "callback for unknown task " << event.taskId;
    terminals[event.taskId] += event.IsTerminal();
  }
  for (const auto& [taskId, index] : owner) {
    EXPECT_EQ(terminals[taskId], 1) << "task " << taskId << " of file " << index;
  }
  for (int worker : workers) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
}

// One download of a 1 MiB file into `destination`, with Init, a worker and Uninit on the
// calling thread (so the worker shares its mounts): the terminal event.
HttpEvent DownloadOnce(const CHttpTestServer& server, const std::string& destination) {
  EXPECT_EQ(ZvHttp::Init(), 0);
  int worker = 0;
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0);
  CHttpCallbackLog log;
  tagDefHttpPar par = HttpPar(server.Url("/file"));
  int taskId = 0;
  EXPECT_EQ(ZvHttp::DownloadInFile(&par, Utf8ToWide(destination), CHttpCallbackLog::Callback, 20000,
                                   &taskId, log.Param(), worker, false),
            0);
  EXPECT_TRUE(PumpUntil([&] { return log.HasTerminal(taskId); }, 30s));
  PumpFor(2100ms);  // a time-out tick more: still exactly one terminal callback
  EXPECT_EQ(log.TerminalCount(taskId), 1);
  EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
  return log.Terminal(taskId);
}

// A full disk fails a write, a read-only one the opening of the temporary file; both keep the
// old file and leave no part. Each runs on a thread with a mount namespace of its own (library
// workers it starts inherit it) with a private tmpfs; root's rights do not pass a read-only
// mount.
TEST(FileSystemFaultTest, FullOrReadOnlyDiskFailsAndKeepsTheOldFile) {
  const std::string content = TestBytes(1 << 20);
  CHttpTestServer server;
  server.Handle("/file", CHttpTestResource(content));
  for (const bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "full");
    bool ran = false;
    std::thread thread([&] {
      char directory[] = "/tmp/zvnet-mount-XXXXXX";
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          !::mkdtemp(directory)) {
        return;
      }
      const std::string size = readOnly ? "size=4194304" : "size=262144";
      if (::mount("tmpfs", directory, "tmpfs", 0, (size + ",mode=0755").c_str()) == 0) {
        ran = true;
        const std::string destination = std::string(directory) + "/data.bin";
        CTempFolder::WritePath(destination, "the old file");
        ASSERT_TRUE(!readOnly ||
                    ::mount("tmpfs", directory, "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0);
        EXPECT_EQ(DownloadOnce(server, destination).code,
                  readOnly ? DOWNLOAD_FAILED : DOWNLOAD_WRITE_FAILED);
        EXPECT_EQ(CTempFolder::ReadPath(destination), "the old file");
        EXPECT_FALSE(fs::exists(destination + ".downloading")) << "no partial file is left";
        ::umount2(directory, MNT_DETACH);
      }
      ::rmdir(directory);
    });
    thread.join();
    if (!ran && IsCi()) FAIL() << "cannot make a mount namespace (root is needed)";
    if (!ran) GTEST_SKIP() << "cannot make a mount namespace (root is needed)";
  }
}
