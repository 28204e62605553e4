// One warm small request: a 1 KiB GET on a kept-alive loopback connection, from queuing
// (ZvHttp::DownloadInMem) to the completion callback on the queuing thread, beside a libcurl
// easy handle doing the same GET in a loop. The difference is what the workers, the engine
// and the message delivery add to a request.
//
//   zvnet_bench_small [--benchmark_repetitions=3]
//
// The server is $ZVNET_BENCH_SMALL_URL (bench/run points it at its nginx), else a one-thread
// keep-alive server inside this process answering every request with 1 KiB.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"
#include "zvxlog.h"

namespace {

constexpr size_t kBodySize = 1024;

// Serves every connection on its own thread until the process ends.
class CKeepAliveServer {
 public:
  CKeepAliveServer() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/1k.bin"; }

 private:
  void Serve() {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(kBodySize) + "\r\n\r\n" + std::string(kBodySize, 'z');
    for (;;) {
      const int connection = ::accept(listener, nullptr, nullptr);
      if (connection < 0) continue;
      std::thread([connection, answer] { Answer(connection, answer); }).detach();
    }
  }

  static void Answer(int connection, const std::string& answer) {
    const int on = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      size_t end;
      while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
        pending.erase(0, end + 4);
        if (::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
      }
    }
    ::close(connection);
  }

  int listener = -1;
  int port = 0;
};

std::string Url() {
  if (const char* url = std::getenv("ZVNET_BENCH_SMALL_URL")) return url;
  static CKeepAliveServer* server = new CKeepAliveServer;  // lives until the process ends
  return server->Url();
}

struct Outcome {
  bool done = false;
  DOWNLOAD_ERRORCODE code = DOWNLOAD_FAILED;
  uint32_t length = 0;
};

int ZV_STDCALL OnEvent(int, unsigned long userParam, DOWNLOAD_ERRORCODE code, tagDataOut* out) {
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT) return 0;
  auto* outcome = reinterpret_cast<Outcome*>(userParam);
  outcome->done = true;
  outcome->code = code;
  outcome->length = out ? out->dataLength : 0;
  return 0;
}

bool Fetch(tagDefHttpPar& par, int worker) {
  Outcome outcome;
  int taskId = 0;
  if (ZvHttp::DownloadInMem(&par, OnEvent, 30000, &taskId,
                            reinterpret_cast<unsigned long>(&outcome), worker) != 0) {
    return false;
  }
  while (!outcome.done) ZvMsgLoop::Pump(1000);
  return outcome.code == DOWNLOAD_OK && outcome.length == kBodySize;
}

void BM_ZvHttpSmallGet(benchmark::State& state) {
  ZvHttp::Init();
  int worker = 0;
  ZvHttp::CreateWorker(&worker);
  tagDefHttpPar par;
  const std::string url = Url();
  par.url.assign(url.begin(), url.end());
  if (!Fetch(par, worker)) state.SkipWithError("the warm-up request failed");  // connects
  for (auto _ : state) {
    if (!Fetch(par, worker)) {
      state.SkipWithError("request failed");
      break;
    }
  }
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  state.SetItemsProcessed(state.iterations());
}

size_t Collect(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

void BM_CurlEasySmallGet(benchmark::State& state) {
  CURL* easy = curl_easy_init();
  std::string body;
  const std::string url = Url();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(easy) != CURLE_OK || body.size() != kBodySize) {
      state.SkipWithError("request failed");
      break;
    }
  }
  curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ZvHttpSmallGet)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CurlEasySmallGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Above every level the library writes: a task's end is logged at the failure level, and
  // the libcurl loop beside it writes no log either.
  XLogSetLevel(100);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
