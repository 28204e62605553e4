// A host that downloads a URL into a file, printing its progress:
//   zvnet_download http://127.0.0.1:8000/file.bin /tmp/file.bin
// The callback runs on this thread while it pumps its message loop.
#include <cstdio>
#include <cstring>
#include <string>

#include "zvnet/zvnet.h"

namespace {

struct Outcome {
  bool done = false;
  DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
  int httpStatus = 0;
};

int ZV_STDCALL OnDownload(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                          tagDataOut* out) {
  auto* outcome = reinterpret_cast<Outcome*>(userParam);
  if (code == DOWNLOAD_PROGRESS && out && out->dataLength == 8) {
    uint32_t held = 0, end = 0;
    std::memcpy(&held, out->data, 4);
    std::memcpy(&end, out->data + 4, 4);
    if (end == 0xFFFFFFFFu) {
      std::printf("task %d: %u bytes\n", taskId, held);
    } else {
      std::printf("task %d: %u of %u bytes\n", taskId, held, end);
    }
    return 0;
  }
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT) return 0;
  outcome->done = true;
  outcome->code = code;
  outcome->httpStatus = out ? out->httpStatus : 0;
  return 0;
}

std::wstring Widen(const char* text) {
  return std::wstring(text, text + std::strlen(text));  // URLs and paths here are ASCII
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
    return 2;
  }
  ZvHttp::Init();
  int worker = 0;
  if (ZvHttp::CreateWorker(&worker) != 0) {
    std::fprintf(stderr, "no worker\n");
    ZvHttp::Uninit();
    return 1;
  }
  tagDefHttpPar request;
  request.url = Widen(argv[1]);
  Outcome outcome;
  int taskId = 0;
  long queued = ZvHttp::DownloadInFile(&request, Widen(argv[2]), OnDownload, 60000, &taskId,
                                       reinterpret_cast<unsigned long>(&outcome), worker, false);
  if (queued == 0) {
    while (!outcome.done) ZvMsgLoop::Pump(1000);
  }
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  if (queued != 0) {
    std::fprintf(stderr, "not queued\n");
    return 1;
  }
  std::printf("task %d: code %d, HTTP status %d\n", taskId, static_cast<int>(outcome.code),
              outcome.httpStatus);
  return outcome.code == DOWNLOAD_OK ? 0 : 1;
}
