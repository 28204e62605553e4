// A 1 GiB download over loopback into a file: CHttpTask (through the WinINet stand-in's
// engine thread, 32 KiB reads, one progress message per read, fsync before the final rename)
// beside `curl -o` fetching the same body from the same in-process server.
//
//   zvnet_bench_http [--benchmark_repetitions=3]
//
// Files go to $ZVNET_BENCH_DIR, or /var/tmp, and are removed afterwards. Like the
// application, the benchmark loads the logging library, and keeps only failure lines.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "http/HttpTask.h"
#include "platform/win32/StringConv.h"
#include "tools/HttpTestServer.h"
#include "zvxlog.h"

extern char** environ;

namespace {

constexpr uint64_t kBodySize = 1ull << 30;
constexpr size_t kPatternSize = 1 << 20;

std::atomic<uint64_t> progressMessages{0};
std::atomic<int> lastCode{-1};

long CountingSink(UINT message, int, HttpMsgData&& data) {
  if (message == WM_HTTPDOWNLOAD_PROGRESS) progressMessages++;
  if (message == WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE) lastCode = data.code;
  return 0;
}

// One server for the whole run, serving the same 1 GiB body on every request.
CHttpTestServer& Server() {
  static std::string pattern = [] {
    std::string bytes(kPatternSize, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 13);
    return bytes;
  }();
  static CHttpTestServer* server = [] {
    auto* s = new CHttpTestServer;  // lives until the process ends
    s->Handle("/1g", [](const HttpTestRequest&) {
      HttpTestResponse response;
      response.generatedLength = kBodySize;
      response.generator = [](uint64_t offset, char* out, size_t length) {
        while (length > 0) {
          size_t at = static_cast<size_t>(offset % kPatternSize);
          size_t n = std::min(length, kPatternSize - at);
          std::memcpy(out, pattern.data() + at, n);
          out += n;
          offset += n;
          length -= n;
        }
      };
      return response;
    });
    return s;
  }();
  return *server;
}

std::filesystem::path Directory() {
  const char* dir = std::getenv("ZVNET_BENCH_DIR");
  return dir ? dir : "/var/tmp";
}

void BM_HttpTaskToFile(benchmark::State& state) {
  const std::filesystem::path path = Directory() / "zvnet-bench-task.bin";
  tagDefHttpPar par;
  par.url = Server().Url("/1g");
  const TaskMessageSink sink = &CountingSink;  // the task keeps a reference
  for (auto _ : state) {
    CHttpTask task(1, sink);
    if (task.InitDownload(&par, nullptr, 0, path.wstring().c_str(), false, false) != 0) {
      state.SkipWithError("init failed");
      break;
    }
    task.PreRun();
    task.Run();
    task.PostRun();
    if (lastCode != DOWNLOAD_OK || std::filesystem::file_size(path) != kBodySize) {
      state.SkipWithError("download failed");
      break;
    }
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
  state.counters["progress_msgs"] = static_cast<double>(progressMessages.exchange(0));
}

void BM_CurlToFile(benchmark::State& state) {
  const std::filesystem::path path = Directory() / "zvnet-bench-curl.bin";
  const std::string url = WideToUtf8(Server().Url("/1g"));
  for (auto _ : state) {
    std::vector<std::string> args = {"curl", "-s", "--noproxy", "*", "-o", path.string(), url};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    int status = 0;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid || status != 0 ||
        std::filesystem::file_size(path) != kBodySize) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}

BENCHMARK(BM_HttpTaskToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_CurlToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  XLogSetLevel(48);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
