// TEMPORARY stand-in for the HTTP task, replaced by the real transfer once it lands. It
// reports a scripted transfer from its URL: http://stub/?chunks=N&delay=MS&code=C
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "http/HttpTask.h"
#include "http/HttpTaskService.h"
#include "platform/Event.h"

namespace {

struct StubState {
  tagDefHttpPar par;
  int kind = HTTP_KIND_MEMORY;
  std::shared_ptr<UploadData> upload;
  std::atomic<bool> stopped{false};
  CEvent stopEvent;
  int chunks = 2;
  unsigned delayMs = 0;
  int code = 0;
};

std::mutex tableMutex;
std::map<const CHttpTask*, std::unique_ptr<StubState>>& Table() {
  static std::map<const CHttpTask*, std::unique_ptr<StubState>> table;
  return table;
}

StubState& State(const CHttpTask* task) {
  std::lock_guard guard(tableMutex);
  auto& slot = Table()[task];
  if (!slot) slot = std::make_unique<StubState>();
  return *slot;
}

int QueryInt(const std::wstring& url, const std::wstring& key, int fallback) {
  auto at = url.find(key + L"=");
  if (at == std::wstring::npos) return fallback;
  return std::stoi(url.substr(at + key.size() + 1));
}

void Post(StubState& state, int cookie, UINT message, std::unique_ptr<HttpMsgData> data) {
  if (state.stopped) return;
  if (auto service = CHttpTaskService::GetInstance()) {
    service->OnDealTaskMsg(message, cookie, std::move(data));
  }
}

std::unique_ptr<HttpMsgData> Message(DOWNLOAD_ERRORCODE code, int kind, const void* bytes,
                                     uint32_t length) {
  auto data = std::make_unique<HttpMsgData>();
  data->code = code;
  data->kind = kind;
  data->out.reset(new tagDataOut);
  data->out->httpStatus = 200;
  if (length) {
    data->out->data = new unsigned char[length];
    std::memcpy(data->out->data, bytes, length);
    data->out->dataLength = length;
  }
  return data;
}

}  // namespace

CHttpTask::CHttpTask(int cookie) : m_nCookie(cookie) {
  State(this);
}

CHttpTask::~CHttpTask() {
  std::lock_guard guard(tableMutex);
  Table().erase(this);
}

long CHttpTask::SetExtraParam(uint32_t) {
  return 0;
}
void CHttpTask::SetProxy(const tagHProxyInfo&) {}
void CHttpTask::SetMemoryMode(int) {
  State(this).kind = HTTP_KIND_MEMORY;
}

long CHttpTask::InitDownload(const tagDefHttpPar* par, const SYSTEMTIME*, uint32_t,
                             const wchar_t* path, bool, bool) {
  if (!par || par->url.rfind(L"http://", 0) != 0) return E_FAIL;
  StubState& state = State(this);
  state.par = *par;
  if (path && *path) state.kind = HTTP_KIND_FILE;
  state.chunks = QueryInt(par->url, L"chunks", 2);
  state.delayMs = QueryInt(par->url, L"delay", 0);
  state.code = QueryInt(par->url, L"code", 0);
  return 0;
}

long CHttpTask::InitUpload(const tagDefHttpPar* par, std::shared_ptr<UploadData> data, bool) {
  if (!par || par->url.rfind(L"http://", 0) != 0) return E_FAIL;
  StubState& state = State(this);
  state.par = *par;
  state.kind = HTTP_KIND_UPLOAD;
  state.upload = std::move(data);
  state.chunks = QueryInt(par->url, L"chunks", 2);
  state.delayMs = QueryInt(par->url, L"delay", 0);
  state.code = QueryInt(par->url, L"code", 0);
  return 0;
}

long CHttpTask::PreRun() {
  return 0;
}

long CHttpTask::Run() {
  StubState& state = State(this);
  Post(state, m_nCookie, WM_HTTPDOWNLOAD_CONNECTING, nullptr);
  Post(state, m_nCookie, WM_HTTPDOWNLOAD_CONNECTED, nullptr);
  Post(state, m_nCookie, WM_HTTPDOWNLOAD_DOWNLOAD_START, nullptr);
  for (int i = 1; i <= state.chunks; ++i) {
    if (state.delayMs && state.stopEvent.Wait(state.delayMs) == WAIT_OBJECT_0) return 0;
    uint32_t progress[2] = {static_cast<uint32_t>(i), static_cast<uint32_t>(state.chunks)};
    Post(state, m_nCookie, WM_HTTPDOWNLOAD_PROGRESS, Message(DOWNLOAD_PROGRESS, 2, progress, 8));
  }
  std::string body = "body-" + std::to_string(m_nCookie);
  if (state.kind == HTTP_KIND_UPLOAD) {
    const void* bytes = state.upload ? state.upload->data.get() : nullptr;
    uint32_t length = state.upload ? state.upload->length : 0;
    Post(state, m_nCookie, WM_HTTPDOWNLOAD_UPLOAD_COMPLETE,
         Message(static_cast<DOWNLOAD_ERRORCODE>(state.code), 1, bytes, length));
  } else {
    uint32_t length = state.kind == HTTP_KIND_MEMORY ? static_cast<uint32_t>(body.size()) : 0;
    Post(state, m_nCookie, WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE,
         Message(static_cast<DOWNLOAD_ERRORCODE>(state.code), 1, body.data(), length));
  }
  return 0;
}

long CHttpTask::PostRun() {
  Post(State(this), m_nCookie, WM_HTTPDOWNLOAD_THREAD_QUIT, nullptr);
  return 0;
}

long CHttpTask::Stop() {
  StubState& state = State(this);
  state.stopped = true;
  state.stopEvent.Set();
  return 0;
}

void CHttpTask::FailTask() {
  StubState& state = State(this);
  const int kind = state.kind;
  Post(state, m_nCookie,
       kind == HTTP_KIND_UPLOAD ? WM_HTTPDOWNLOAD_UPLOAD_COMPLETE
                                : WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE,
       Message(DOWNLOAD_FAILED, 1, nullptr, 0));
}

int CHttpTask::IsUrlReachable(const wchar_t* destination) {
  return destination && std::wcsstr(destination, L"reachable") ? 1 : 0;
}
