#include "cli/PostCommand.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "cli/UserValues.h"

namespace {

struct UploadResult {
  bool done = false;
  DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
  int httpStatus = 0;
  ZV_FAILURE_CAUSE failure = ZV_FAILURE_NONE;
  int systemError = 0;
};

CUserValues<UploadResult> results;

int ZV_STDCALL OnUploadEvent(int, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                             tagDataOut* out) {
  UploadResult* found = results.Find(userParam);
  if (!found || code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT || found->done) return 0;
  UploadResult& result = *found;
  result.done = true;
  result.code = code;
  result.httpStatus = out ? out->httpStatus : 0;
  result.failure = out ? out->failure : ZV_FAILURE_NONE;
  result.systemError = out ? out->systemError : 0;
  if (out && out->data) std::fwrite(out->data, 1, out->dataLength, stdout);
  std::fflush(stdout);
  return 0;
}

bool ReadBody(const PostOptions& options, std::string* body) {
  if (options.dataFile.empty()) {
    *body = options.data;
    return true;
  }
  std::ifstream in(PathFromUtf8(options.dataFile), std::ios::binary);
  if (!in) return false;
  body->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int RunPost(const PostOptions& options) {
  std::string body;
  if (!ReadBody(options, &body)) {
    PrintError("cannot read " + options.dataFile);
    return kExitFailure;
  }
  tagDefHttpPar par;
  std::string error;
  if (!BuildRequest(options.http, options.url, &par, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  if (const int started = StartHttp(options.http); started != kExitOk) return started;
  int worker = 0;
  int taskId = 0;
  UploadResult result;
  int status = kExitFailure;
  if (ZvHttp::CreateWorker(&worker) == 0 &&
      ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                     static_cast<unsigned int>(body.size()), OnUploadEvent, TimeoutMs(options.http),
                     &taskId, results.Add(&result), worker) == 0) {
    CHostLoop loop;
    if (loop.RunUntil([&] { return result.done; })) {
      status = ExitStatusFor(result.code, result.httpStatus);
      if (result.code != DOWNLOAD_OK) {
        PrintError(
            options.url + ": " +
            DescribeFailure(result.code, result.failure, result.systemError, options.url, ""));
      }
    } else {
      ZvHttp::StopTask(taskId);
      PrintError("interrupted");
    }
  } else {
    PrintError(options.url + ": the request was refused");
  }
  if (worker) ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  return status;
}

int RunReachable(const HttpOptions& http, const std::string& url) {
  if (const int started = StartHttp(http); started != kExitOk) return started;
  const int reachable = ZvHttp::IsDestinationReachable(Widen(url).c_str());
  ZvHttp::Uninit();
  std::printf("%s %s\n", EscapeForTerminal(url).c_str(),
              reachable == 1 ? "is reachable" : "is not reachable");
  return reachable == 1 ? kExitOk : kExitFailure;
}
