// Thread-churn soak: short-lived threads, as a host's pool threads, each make HTTP downloads,
// UDP channel requests and one-shots and a network-status registration, and end with some of
// them open (a download the server never answers, requests to a silent peer, the channel and
// the registration). Meanwhile one long-lived thread keeps making requests that must all end
// normally. Afterwards the families' counts of requests, channels and registrations must be
// back to zero and the resident memory flat. Loopback only; bounded in count, not timed.
//
//   zvnet_thread_churn [THREADS]     (default 1000)
//
// Prints the figures and exits 1 when something was left behind or a long-lived request did
// not end normally.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "http/HttpTaskService.h"
#include "netstatus/NetStatusService.h"
#include "tools/HttpTestServer.h"
#include "tools/UdpReferenceServer.h"
#include "tools/UdpScriptedReplies.h"
#include "udp/UdpTask.h"
#include "udp/UdpTaskService.h"
#include "zvnet/zvnet.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> longLivedEnded{0};
std::atomic<int> longLivedFailed{0};

int ZV_STDCALL OnHttp(int, unsigned long, DOWNLOAD_ERRORCODE code, tagDataOut*) {
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT) return 0;
  if (code == DOWNLOAD_OK) {
    ++longLivedEnded;
  } else {
    ++longLivedFailed;
  }
  return 0;
}
int ZV_STDCALL OnHttpAbandoned(int, unsigned long, DOWNLOAD_ERRORCODE, tagDataOut*) {
  return 0;
}
int ZV_STDCALL OnUdp(int, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut*) {
  if (userParam != 1) return 0;  // the long-lived thread's receive callbacks only
  if (code == UDP_RECV_SUCCESS) {
    ++longLivedEnded;
  } else {
    ++longLivedFailed;
  }
  return 0;
}
int ZV_STDCALL OnUdpSent(int, unsigned long, UDP_ERRORCODE, tagUdpOut*) {
  return 0;
}
int32_t ZV_STDCALL OnNet(int32_t, uint32_t, ZV_NET_STATUS) {
  return 0;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long CurrentRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

struct Counts {
  size_t http = 0;
  size_t udpRequests = 0;
  size_t udpChannels = 0;
  size_t netRegistrations = 0;
  int udpTasks = 0;
  bool Zero() const {
    return http == 0 && udpRequests == 0 && udpChannels == 0 && netRegistrations == 0 &&
           udpTasks == 0;
  }
};

Counts Measure() {
  Counts counts;
  if (auto http = CHttpTaskService::GetInstance()) counts.http = http->OpenRecordsForTesting();
  if (auto udp = CUdpTaskService::CurrentForTesting()) {
    const auto c = udp->CountsForTesting();
    counts.udpRequests = c.requests + c.waiting;
    counts.udpChannels = c.channels;
  }
  if (auto net = CNetStatusService::Instance()) {
    counts.netRegistrations = net->RegistrationCountForTesting();
  }
  counts.udpTasks = CUdpTask::LiveCountForTesting();
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 1000;
  CHttpTestServer http;
  http.Serve("/small", HttpTestResponse::Text(200, std::string(4096, 'x')));
  HttpTestResponse never = HttpTestResponse::Text(200, "");
  never.neverAnswer = true;
  http.Serve("/never", never);
  CUdpReferenceServer udp;
  udp.SetBehaviour(&ScriptedUdpReplies);
  if (udp.Start() != S_OK) return 2;
  tagUdpServer udpTarget{"127.0.0.1", udp.Port()};

  ZvHttp::Init();
  ZvUdp::Init();
  int worker = 0;
  ZvHttp::CreateWorker(&worker);
  int slowWorker = 0;  // the abandoned downloads queue here, behind one that never ends
  ZvHttp::CreateWorker(&slowWorker);

  std::atomic<bool> churnDone{false};
  std::atomic<int> longLivedAsked{0};
  std::thread longLived([&] {
    int channel = 0;
    ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &udpTarget, &channel);
    tagDefHttpPar small;
    small.url = http.Url("/small");
    while (!churnDone) {
      int id = 0;
      ZvHttp::DownloadInMem(&small, OnHttp, 20000, &id, 0, worker);
      ZvUdp::SendData(channel, "long-lived", OnUdpSent, OnUdp, 5000, 1, &id, false);
      longLivedAsked += 2;
      const auto until = Clock::now() + std::chrono::seconds(20);
      while (longLivedEnded + longLivedFailed < longLivedAsked && Clock::now() < until) {
        ZvMsgLoop::Pump(100);
      }
    }
    ZvUdp::CloseChannel(channel);
  });

  const long rssBefore = CurrentRssKb();
  const auto started = Clock::now();
  int requests = 0;
  for (int t = 0; t < threads; ++t) {
    std::thread([&, t] {
      tagDefHttpPar par;
      par.url = http.Url(t % 2 ? "/small" : "/never");
      int id = 0;
      ZvHttp::DownloadInMem(&par, OnHttpAbandoned, 60000, &id, 0, t % 2 ? worker : slowWorker);
      int channel = 0;
      if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &udpTarget, &channel) == S_OK) {
        ZvUdp::SendData(channel, "silent", OnUdpSent, OnUdp, 60000, 0, &id, false);
        ZvUdp::SendData(channel, "echo", OnUdpSent, OnUdp, 60000, 0, &id, false);
      }
      tagUdpTaskParam oneShot{"127.0.0.1", udp.Port(), t % 3 ? "silent" : "echo"};
      ZvUdp::SendData(&oneShot, OnUdp, 60000, &id);
      int32_t cookie = 0;
      ZvNetStatus::DetectNetStatus(OnNet, 0, &cookie);
      if (t % 4 == 0) ZvMsgLoop::Pump(10);  // some see a callback or two before they end
    }).join();
    requests += 5;
  }
  const double churnSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  churnDone = true;
  longLived.join();

  // The channels' and one-shots' threads end on their own once closed or dropped.
  Counts after = Measure();
  for (auto until = Clock::now() + std::chrono::seconds(30); !after.Zero() && Clock::now() < until;
       after = Measure()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const long rssAfter = CurrentRssKb();
  std::printf(
      "threads %d, requests %d (%d HTTP, %d UDP channel, %d one-shot, %d status), churn %.1f s\n"
      "long-lived: %d asked, %d ended normally, %d failed or timed out\n"
      "left: HTTP records %zu, UDP requests %zu, channels %zu, tasks %d, registrations %zu\n"
      "RSS before churn %ld KiB, after %ld KiB, peak %ld KiB\n",
      threads, requests, threads, 2 * threads, threads, threads, churnSeconds,
      longLivedAsked.load(), longLivedEnded.load(), longLivedFailed.load(), after.http,
      after.udpRequests, after.udpChannels, after.udpTasks, after.netRegistrations, rssBefore,
      rssAfter, PeakRssKb());
  ZvHttp::CloseWorker(slowWorker);
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  ZvUdp::Uninit();
  const bool ok = after.Zero() && longLivedFailed == 0 && longLivedEnded == longLivedAsked;
  return ok ? 0 : 1;
}
