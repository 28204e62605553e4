// Thread-churn soak: short-lived threads, as a host's pool threads, each make HTTP downloads,
// UDP channel requests and one-shots and a network-status registration, and end with some of
// them open (a download the server answers late, requests to a silent peer, the channel and
// the registration). Meanwhile one long-lived thread keeps making requests that must all end
// normally. Afterwards the families' counts of requests, channels and registrations must be
// back to zero and the resident memory flat. Loopback only; bounded in count, not timed.
//
//   zvnet_thread_churn [THREADS [ROUNDS]]     (default 1000 threads, 2 rounds)
//
// Memory is flat when a later round leaves the resident size where the first one left it
// (the first pays for the allocator's arenas and the threads' cached stacks). Each round
// prints the resident size and what the allocator holds, so that growth of live blocks (a
// leak, or a table that keeps what ended threads had) tells itself from arena growth. The
// test server's log of requests is dropped after each round: it is the bench's, not the
// library's.
//
// Prints the figures and exits 1 when something was left behind or a long-lived request did
// not end normally.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessMemory.h"
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
std::atomic<int> lastHttpFailure{-1};
std::atomic<int> lastUdpFailure{-1};

int ZV_STDCALL OnHttp(int, unsigned long, DOWNLOAD_ERRORCODE code, tagDataOut*) {
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT) return 0;
  if (code == DOWNLOAD_OK) {
    ++longLivedEnded;
  } else {
    lastHttpFailure = code;
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
    lastUdpFailure = code;
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

struct Counts {
  size_t http = 0;
  size_t udpRequests = 0;
  size_t udpChannels = 0;
  size_t udpReplies = 0;
  size_t netRegistrations = 0;
  int udpTasks = 0;
  bool Zero() const {
    return http == 0 && udpRequests == 0 && udpChannels == 0 && udpReplies == 0 &&
           netRegistrations == 0 && udpTasks == 0;
  }
};

Counts Measure() {
  Counts counts;
  if (auto http = CHttpTaskService::GetInstance()) counts.http = http->OpenRecordsForTesting();
  if (auto udp = CUdpTaskService::CurrentForTesting()) {
    const auto c = udp->CountsForTesting();
    counts.udpRequests = c.requests + c.waiting;
    counts.udpChannels = c.channels;
    counts.udpReplies = c.replies;
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
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  CHttpTestServer http;
  http.Serve("/small", HttpTestResponse::Text(200, std::string(4096, 'x')));
  // Answers long after its thread has ended; the server's thread for it then ends too, so
  // the server's memory stays out of the figures.
  HttpTestResponse slow = HttpTestResponse::Text(200, "late");
  slow.delayBeforeHeaders = std::chrono::seconds(2);
  http.Serve("/slow", slow);
  CUdpReferenceServer udp;
  udp.SetBehaviour(&ScriptedUdpReplies);
  if (udp.Start() != S_OK) return 2;
  tagUdpServer udpTarget{"127.0.0.1", udp.Port()};

  ZvHttp::Init();
  ZvUdp::Init();
  int worker = 0;
  ZvHttp::CreateWorker(&worker);
  int slowWorker = 0;  // the abandoned downloads queue here, behind slow ones
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
      // Paced, so that the test server's list of requests it saw stays small beside the churn.
      ZvMsgLoop::Pump(20);
    }
    ZvUdp::CloseChannel(channel);
  });

  const long rssBefore = CurrentRssKb();
  std::vector<long> rssAfterRound;
  const auto started = Clock::now();
  int requests = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int t = 0; t < threads; ++t) {
      std::thread([&, t] {
        tagDefHttpPar par;
        par.url = http.Url(t % 2 ? "/small" : "/slow");
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
    // What is left is the long-lived thread's: its channel, and a request or two under way.
    auto churnLeft = [] {
      const Counts c = Measure();
      return c.netRegistrations > 0 || c.udpChannels > 1 || c.udpTasks > 1 || c.udpRequests > 2 ||
             c.http > 4;
    };
    for (auto until = Clock::now() + std::chrono::seconds(30);
         churnLeft() && Clock::now() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    http.ForgetRequests();
    rssAfterRound.push_back(CurrentRssKb());
    std::printf("round %d: RSS %ld KiB, heap blocks in use %zu KiB, arenas %zu KiB\n", round + 1,
                rssAfterRound.back(), HeapInUseKb(), HeapArenasKb());
    std::fflush(stdout);
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
  std::printf(
      "threads %d, requests %d (%d HTTP, %d UDP channel, %d one-shot, %d status), churn %.1f s\n"
      "long-lived: %d asked, %d ended normally, %d failed or timed out\n"
      "left: HTTP records %zu, UDP requests %zu, channels %zu, replies %zu, tasks %d, "
      "registrations %zu\n"
      "RSS before churn %ld KiB, after the first round %ld KiB, after the last %ld KiB, peak "
      "%ld KiB\n",
      threads * rounds, requests, threads * rounds, 2 * threads * rounds, threads * rounds,
      threads * rounds, churnSeconds, longLivedAsked.load(), longLivedEnded.load(),
      longLivedFailed.load(), after.http, after.udpRequests, after.udpChannels, after.udpReplies,
      after.udpTasks, after.netRegistrations, rssBefore, rssAfterRound.front(),
      rssAfterRound.back(), PeakRssKb());
  if (longLivedFailed) {
    std::printf("last failure codes: HTTP %d, UDP %d\n", lastHttpFailure.load(),
                lastUdpFailure.load());
  }
  std::printf("RSS after each round (KiB):");
  for (long kb : rssAfterRound) std::printf(" %ld", kb);
  std::printf("\n");
  ZvHttp::CloseWorker(slowWorker);
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  ZvUdp::Uninit();
  const bool ok = after.Zero() && longLivedFailed == 0 && longLivedEnded == longLivedAsked;
  return ok ? 0 : 1;
}
