#include "cli/DemoCommand.h"

#include <openssl/sha.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/ProgressBar.h"
#include "cli/Text.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "tools/HttpUploadDigest.h"
#include "tools/UdpReferenceServer.h"

namespace {

constexpr const char* kLastModified = "Tue, 01 Dec 2026 08:00:00 GMT";
constexpr unsigned int kTimeoutMs = 60000;

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

std::string Sha256(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

uint32_t ReadLe32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int ZV_STDCALL CDemoCommand::OnHttpEvent(int, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                         tagDataOut* out) {
  auto& outcome = *reinterpret_cast<Outcome*>(userParam);
  if (outcome.done) return 0;  // stopped by the demo: what was already posted is ignored
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

void CDemoCommand::FileDownload(CHttpTestServer& server) {
  tagDefHttpPar par;
  par.url = server.Url("/file.bin");
  const std::string path = folder + "/file.bin";
  Outcome& outcome = NewOutcome();
  CProgressBar bar("  file.bin", true);
  outcome.onProgress = [&](Outcome& o) { bar.Update(o.held, fileBody.size()); };
  ZvHttp::DownloadInFile(&par, Widen(path), OnHttpEvent, kTimeoutMs, &outcome.taskId,
                         reinterpret_cast<unsigned long>(&outcome), worker, false);
  Wait(outcome);
  bar.Finish();
  const bool same = Sha256(ReadFile(path)) == Sha256(fileBody);
  Record("file download", outcome.code == DOWNLOAD_OK && same,
         FormatBytes(fileBody.size()) + ", " + std::to_string(outcome.progressCalls) +
             " progress reports, SHA-256 " + (same ? "matches" : "differs"));
}

void CDemoCommand::StopAndResume(CHttpTestServer& server) {
  tagDefHttpPar par;
  par.url = server.Url("/paced.bin");
  const std::string path = folder + "/paced.bin";
  Outcome& first = NewOutcome();
  first.onProgress = [](Outcome& o) {
    if (o.held >= 512 * 1024 && !o.done) {
      ZvHttp::StopTask(o.taskId);
      o.done = true;  // a stopped transfer reports nothing more
    }
  };
  ZvHttp::DownloadInFile(&par, Widen(path), OnHttpEvent, kTimeoutMs, &first.taskId,
                         reinterpret_cast<unsigned long>(&first), worker, false);
  Wait(first);
  // The stopped task keeps its partial file; wait for the worker to let go of it.
  Outcome& probe = NewOutcome();
  tagDefHttpPar small;
  small.url = server.Url("/small.txt");
  ZvHttp::DownloadInMem(&small, OnHttpEvent, kTimeoutMs, &probe.taskId,
                        reinterpret_cast<unsigned long>(&probe), worker);
  Wait(probe);
  const std::string partial = path + ".downloading";
  const uint64_t kept = Exists(partial) ? ReadFile(partial).size() : 0;

  Outcome& second = NewOutcome();
  ZvHttp::DownloadInFileEx(&par, Widen(path), nullptr, kept, OnHttpEvent, kTimeoutMs,
                           &second.taskId, reinterpret_cast<unsigned long>(&second), worker);
  Wait(second);
  const bool same = Sha256(ReadFile(path)) == Sha256(fileBody);
  Record("stop and resume", kept > 0 && second.code == DOWNLOAD_OK && same,
         "stopped with " + FormatBytes(kept) + " kept, resumed to " + FormatBytes(fileBody.size()) +
             ", SHA-256 " + (same ? "matches" : "differs"));
}

void CDemoCommand::ConditionalFetch(CHttpTestServer& server) {
  tagDefHttpPar par;
  par.url = server.Url("/file.bin");
  SYSTEMTIME since{2026, 12, 2, 1, 8, 0, 0, 0};  // the resource's Last-Modified
  Outcome& outcome = NewOutcome();
  ZvHttp::DownloadInFileEx(&par, Widen(folder + "/file.bin"), &since, 0, OnHttpEvent, kTimeoutMs,
                           &outcome.taskId, reinterpret_cast<unsigned long>(&outcome), worker);
  Wait(outcome);
  Record("conditional fetch", outcome.code == DOWNLOAD_NOT_MODIFIED,
         "HTTP " + std::to_string(outcome.httpStatus) + ", destination kept");
}

void CDemoCommand::UploadBody(CHttpTestServer& server) {
  const std::string body = RandomBytes(1 << 20, 7);
  tagDefHttpPar par;
  par.url = server.Url("/upload");
  par.headers = L"Content-Type: application/octet-stream\r\n";
  Outcome& outcome = NewOutcome();
  ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                 static_cast<unsigned int>(body.size()), OnHttpEvent, kTimeoutMs, &outcome.taskId,
                 reinterpret_cast<unsigned long>(&outcome), worker);
  Wait(outcome);
  const bool counted = outcome.body.find("received 1048576 bytes") == 0;
  Record("upload", outcome.code == DOWNLOAD_OK && counted,
         "1.0 MiB posted, server answered \"" + outcome.body.substr(0, 30) + "...\"");
}

void CDemoCommand::MemoryDownload(CHttpTestServer& server) {
  tagDefHttpPar par;
  par.url = server.Url("/small.txt");
  Outcome& outcome = NewOutcome();
  ZvHttp::DownloadInMem(&par, OnHttpEvent, kTimeoutMs, &outcome.taskId,
                        reinterpret_cast<unsigned long>(&outcome), worker);
  Wait(outcome);
  Record("memory download", outcome.code == DOWNLOAD_OK && outcome.body == smallBody,
         std::to_string(outcome.body.size()) + " bytes delivered with the completion");
}

void CDemoCommand::Reachability(CHttpTestServer& server) {
  const bool up = ZvHttp::IsDestinationReachable(server.Url("/").c_str()) == 1;
  Record("reachability probe", up, server.Origin() + "/" + (up ? " answers" : " does not answer"));
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

int CDemoCommand::Run() {
  char temp[] = "/tmp/zvnet-demo-XXXXXX";
  if (!::mkdtemp(temp)) {
    PrintError("cannot make a scratch folder");
    return kExitFailure;
  }
  folder = temp;
  fileBody = RandomBytes(8 << 20, 1);
  smallBody = "zvnet demo: hello from the loopback server\n";

  std::unique_ptr<CHttpTestServer> listening;
  try {
    listening = std::make_unique<CHttpTestServer>();
  } catch (const std::runtime_error&) {
    PrintError("cannot start the loopback HTTP server");
    return kExitFailure;
  }
  CHttpTestServer& server = *listening;
  const CHttpTestResource file(fileBody, CHttpTestResource::ParseHttpDate(kLastModified));
  server.Handle("/file.bin", file);
  server.Handle("/paced.bin", file.Paced(std::chrono::milliseconds(2)));
  server.Handle("/small.txt", CHttpTestResource(smallBody));
  server.Handle("/", CHttpTestResource("ok\n"));
  server.Handle("/upload", CHttpUploadDigest());
  std::printf("zvnet demo: HTTP server on 127.0.0.1:%d, scratch folder %s\n\n", server.Port(),
              folder.c_str());

  ZvHttp::Init();
  if (ZvHttp::CreateWorker(&worker) != 0) {
    PrintError("cannot start an HTTP worker");
    ZvHttp::Uninit();
    return kExitFailure;
  }
  FileDownload(server);
  StopAndResume(server);
  ConditionalFetch(server);
  UploadBody(server);
  MemoryDownload(server);
  Reachability(server);
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  UdpExchanges();

  for (const char* name : {"/file.bin", "/paced.bin", "/paced.bin.downloading"}) {
    ::unlink((folder + name).c_str());
  }
  ::rmdir(folder.c_str());
  return Summary();
}

namespace {

struct UdpOutcome {
  int sent = 0;
  int replies = 0;
  int failures = 0;
  std::vector<std::string> payloads;
};

UdpOutcome* oneShotOutcome = nullptr;

int ZV_STDCALL OnUdpEvent(int, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut* out) {
  auto& outcome = *reinterpret_cast<UdpOutcome*>(userParam);
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
  return OnUdpEvent(cookie, reinterpret_cast<unsigned long>(oneShotOutcome), code, out);
}

}  // namespace

void CDemoCommand::UdpExchanges() {
  CUdpReferenceServer server;
  if (server.Start() != 0) {
    Record("udp duplex channel", false, "cannot start the reference server");
    return;
  }
  ZvUdp::Init();
  tagUdpServer address{"127.0.0.1", server.Port()};
  int channel = 0;
  UdpOutcome duplex;
  const int count = 20;
  if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &address, &channel) == 0) {
    for (int i = 0; i < count; ++i) {
      const std::string payload = "demo request " + std::to_string(i);
      ZvUdp::SendData(channel, payload.c_str(), OnUdpEvent, OnUdpEvent, 5000,
                      reinterpret_cast<unsigned long>(&duplex), nullptr, false);
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
             " echoed in order on 127.0.0.1:" + std::to_string(server.Port()));

  UdpOutcome single;
  oneShotOutcome = &single;
  tagUdpTaskParam param{"127.0.0.1", server.Port(), "one-shot request"};
  if (ZvUdp::SendData(&param, OnOneShotEvent, 5000, nullptr) == 0) {
    CHostLoop loop;
    loop.RunUntil([&] { return single.replies + single.failures > 0; });
  }
  Record("udp one-shot", single.replies == 1 && single.payloads[0] == param.data,
         single.replies == 1 ? "reply \"" + single.payloads[0] + "\"" : "no reply");
  ZvUdp::Uninit();
  oneShotOutcome = nullptr;
  server.Stop();
}
