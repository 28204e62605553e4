#include "cli/DemoCommand.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/ProcessSetup.h"
#include "cli/ProgressBar.h"
#include "cli/Text.h"
#include "tools/DemoResources.h"

namespace {

constexpr unsigned int kTimeoutMs = 60000;

std::string ReadFile(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(PathFromUtf8(path), error);
}

uint32_t ReadLe32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int ZV_STDCALL CDemoCommand::OnHttpEvent(int, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                         tagDataOut* out) {
  Outcome* found = userValues.Find(userParam);
  // Stopped by the demo: what was already posted is ignored.
  if (!found || found->done) return 0;
  Outcome& outcome = *found;
  if (code == DOWNLOAD_PROGRESS) {
    ++outcome.progressCalls;
    if (out && out->dataLength == 8) outcome.held = ReadLe32(out->data);
    if (outcome.onProgress) outcome.onProgress(outcome);
    return 0;
  }
  if (code == DOWNLOAD_REDIRECT) return 0;
  outcome.done = true;
  outcome.code = code;
  if (out) {
    outcome.httpStatus = out->httpStatus;
    if (out->data) outcome.body.assign(reinterpret_cast<char*>(out->data), out->dataLength);
  }
  return 0;
}

CDemoCommand::Outcome& CDemoCommand::NewOutcome() {
  return outcomes.emplace_back();
}

bool CDemoCommand::Wait(Outcome& outcome) {
  CHostLoop loop;
  return loop.RunUntil([&] { return outcome.done; });
}

void CDemoCommand::Record(const std::string& name, bool ok, const std::string& detail) {
  steps.push_back({name, ok, detail});
  std::printf("%-22s %s  %s\n", name.c_str(), ok ? "ok    " : "FAILED", detail.c_str());
  std::fflush(stdout);
}

void CDemoCommand::FileDownload() {
  tagDefHttpPar par;
  par.url = Url("/file.bin");
  const std::string path = folder + "/file.bin";
  Outcome& outcome = NewOutcome();
  CProgressBar bar("  file.bin", true);
  outcome.onProgress = [&](Outcome& o) { bar.Update(o.held, fileBody.size()); };
  ZvHttp::DownloadInFile(&par, Widen(path), OnHttpEvent, kTimeoutMs, &outcome.taskId,
                         userValues.Add(&outcome), worker, false);
  Wait(outcome);
  bar.Finish();
  const bool same = ReadFile(path) == fileBody;
  Record("file download", outcome.code == DOWNLOAD_OK && same,
         FormatBytes(fileBody.size()) + ", " + std::to_string(outcome.progressCalls) +
             " progress reports, content " + (same ? "matches" : "differs"));
}

void CDemoCommand::StopAndResume() {
  tagDefHttpPar par;
  par.url = Url("/paced.bin");
  const std::string path = folder + "/paced.bin";
  Outcome& first = NewOutcome();
  first.onProgress = [](Outcome& o) {
    if (o.held >= 512 * 1024 && !o.done) {
      ZvHttp::StopTask(o.taskId);
      o.done = true;  // a stopped transfer reports nothing more
    }
  };
  ZvHttp::DownloadInFile(&par, Widen(path), OnHttpEvent, kTimeoutMs, &first.taskId,
                         userValues.Add(&first), worker, false);
  Wait(first);
  // The stopped task keeps its partial file; wait for the worker to let go of it.
  Outcome& probe = NewOutcome();
  tagDefHttpPar small;
  small.url = Url("/small.txt");
  ZvHttp::DownloadInMem(&small, OnHttpEvent, kTimeoutMs, &probe.taskId, userValues.Add(&probe),
                        worker);
  Wait(probe);
  const std::string partial = path + ".downloading";
  const uint64_t kept = Exists(partial) ? ReadFile(partial).size() : 0;

  Outcome& second = NewOutcome();
  ZvHttp::DownloadInFileEx(&par, Widen(path), nullptr, kept, OnHttpEvent, kTimeoutMs,
                           &second.taskId, userValues.Add(&second), worker);
  Wait(second);
  const bool same = ReadFile(path) == fileBody;
  Record("stop and resume", kept > 0 && second.code == DOWNLOAD_OK && same,
         "stopped with " + FormatBytes(kept) + " kept, resumed to " + FormatBytes(fileBody.size()) +
             ", content " + (same ? "matches" : "differs"));
}

void CDemoCommand::ConditionalFetch() {
  tagDefHttpPar par;
  par.url = Url("/file.bin");
  SYSTEMTIME since{2026, 12, 2, 1, 8, 0, 0, 0};  // the resource's Last-Modified
  Outcome& outcome = NewOutcome();
  ZvHttp::DownloadInFileEx(&par, Widen(folder + "/file.bin"), &since, 0, OnHttpEvent, kTimeoutMs,
                           &outcome.taskId, userValues.Add(&outcome), worker);
  Wait(outcome);
  Record("conditional fetch", outcome.code == DOWNLOAD_NOT_MODIFIED,
         "HTTP " + std::to_string(outcome.httpStatus) + ", destination kept");
}

void CDemoCommand::UploadBody() {
  const std::string body = DemoRandomBytes(1 << 20, 7);
  tagDefHttpPar par;
  par.url = Url("/upload");
  par.headers = L"Content-Type: application/octet-stream\r\n";
  Outcome& outcome = NewOutcome();
  ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                 static_cast<unsigned int>(body.size()), OnHttpEvent, kTimeoutMs, &outcome.taskId,
                 userValues.Add(&outcome), worker);
  Wait(outcome);
  const bool counted = outcome.body.find("received 1048576 bytes") == 0;
  Record("upload", outcome.code == DOWNLOAD_OK && counted,
         "1.0 MiB posted, server answered \"" + outcome.body.substr(0, 30) + "...\"");
}

void CDemoCommand::MemoryDownload() {
  tagDefHttpPar par;
  par.url = Url("/small.txt");
  Outcome& outcome = NewOutcome();
  ZvHttp::DownloadInMem(&par, OnHttpEvent, kTimeoutMs, &outcome.taskId, userValues.Add(&outcome),
                        worker);
  Wait(outcome);
  Record("memory download", outcome.code == DOWNLOAD_OK && outcome.body == smallBody,
         std::to_string(outcome.body.size()) + " bytes delivered with the completion");
}

void CDemoCommand::Reachability() {
  const bool up = ZvHttp::IsDestinationReachable(Url("/").c_str()) == 1;
  Record("reachability probe", up, servers.httpBase + "/" + (up ? " answers" : " does not answer"));
}

int CDemoCommand::Summary() const {
  int failed = 0;
  for (const Step& step : steps) failed += !step.ok;
  std::printf("\n%-22s %s\n", "step", "result");
  std::printf("%-22s %s\n", "----", "------");
  for (const Step& step : steps)
    std::printf("%-22s %s\n", step.name.c_str(), step.ok ? "ok" : "FAILED");
  std::printf("\n%zu of %zu steps worked\n", steps.size() - failed, steps.size());
  return failed == 0 ? kExitOk : kExitFailure;
}

CDemoCommand::CDemoCommand(DemoServers servers) : servers(std::move(servers)) {}

std::wstring CDemoCommand::Url(const std::string& path) const {
  return Widen(servers.httpBase + path);
}

int CDemoCommand::Run() {
  folder = MakeScratchFolder();
  if (folder.empty()) {
    PrintError("cannot make a scratch folder");
    return kExitFailure;
  }
  fileBody = DemoFileBody();
  smallBody = kDemoSmallBody;
  std::printf("zvnet demo: HTTP server at %s, UDP server at %s:%u, scratch folder %s\n\n",
              servers.httpBase.c_str(), servers.udpHost.c_str(), servers.udpPort, folder.c_str());

  ZvHttp::Init();
  if (ZvHttp::CreateWorker(&worker) != 0) {
    PrintError("cannot start an HTTP worker");
    ZvHttp::Uninit();
    return kExitFailure;
  }
  FileDownload();
  StopAndResume();
  ConditionalFetch();
  UploadBody();
  MemoryDownload();
  Reachability();
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  UdpExchanges();

  std::error_code error;
  std::filesystem::remove_all(PathFromUtf8(folder),
                              error);  // a failure leaves a scratch folder behind
  return Summary();
}

namespace {

struct UdpOutcome {
  int sent = 0;
  int replies = 0;
  int failures = 0;
  std::vector<std::string> payloads;
};

CUserValues<UdpOutcome> udpValues;
unsigned long oneShotOutcome = 0;

int ZV_STDCALL OnUdpEvent(int, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut* out) {
  UdpOutcome* found = udpValues.Find(userParam);
  if (!found) return 0;
  UdpOutcome& outcome = *found;
  if (code == UDP_SEND_SUCCESS) {
    ++outcome.sent;
  } else if (code == UDP_RECV_SUCCESS && out) {
    ++outcome.replies;
    outcome.payloads.emplace_back(reinterpret_cast<char*>(out->data), out->dataLength);
  } else {
    ++outcome.failures;
  }
  return 0;
}

// The one-shot form hands its callback userParam 0.
int ZV_STDCALL OnOneShotEvent(int cookie, unsigned long, UDP_ERRORCODE code, tagUdpOut* out) {
  return OnUdpEvent(cookie, oneShotOutcome, code, out);
}

}  // namespace

void CDemoCommand::UdpExchanges() {
  ZvUdp::Init();
  tagUdpServer address{servers.udpHost, servers.udpPort};
  int channel = 0;
  UdpOutcome duplex;
  const int count = 20;
  if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &address, &channel) == 0) {
    for (int i = 0; i < count; ++i) {
      const std::string payload = "demo request " + std::to_string(i);
      ZvUdp::SendData(channel, payload.c_str(), OnUdpEvent, OnUdpEvent, 5000,
                      udpValues.Add(&duplex), nullptr, false);
    }
    CHostLoop loop;
    loop.RunUntil([&] { return duplex.replies + duplex.failures >= count; });
    ZvUdp::CloseChannel(channel);
  }
  bool echoed = duplex.replies == count;
  for (int i = 0; echoed && i < count; ++i) {
    echoed = duplex.payloads[i] == "demo request " + std::to_string(i);
  }
  Record("udp duplex channel", echoed && duplex.sent == count,
         std::to_string(duplex.sent) + " sent, " + std::to_string(duplex.replies) +
             " echoed in order on " + servers.udpHost + ":" + std::to_string(servers.udpPort));

  UdpOutcome single;
  oneShotOutcome = udpValues.Add(&single);
  tagUdpTaskParam param{servers.udpHost, servers.udpPort, "one-shot request"};
  if (ZvUdp::SendData(&param, OnOneShotEvent, 5000, nullptr) == 0) {
    CHostLoop loop;
    loop.RunUntil([&] { return single.replies + single.failures > 0; });
  }
  Record("udp one-shot", single.replies == 1 && single.payloads[0] == param.data,
         single.replies == 1 ? "reply \"" + single.payloads[0] + "\"" : "no reply");
  ZvUdp::Uninit();
  oneShotOutcome = 0;
}

int RunDemoAgainst(const std::string& httpBase, const std::string& udpServer) {
  const size_t colon = udpServer.rfind(':');
  const int port = colon == std::string::npos ? 0 : std::atoi(udpServer.c_str() + colon + 1);
  if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535) {
    PrintError("--udp: expected HOST:PORT");
    return kExitUsage;
  }
  return CDemoCommand({httpBase, udpServer.substr(0, colon), static_cast<unsigned short>(port)})
      .Run();
}
