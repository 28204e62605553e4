#include "tests/http/TaskRunner.h"

#include <atomic>
#include <cstring>
#include <map>

namespace {

std::atomic<int> nextTaskId{1000};
std::mutex runnersMutex;  // guards `runners`
std::map<int, CTaskRunner*> runners;

}  // namespace

CTaskRunner::CTaskRunner() : taskId(nextTaskId++) {
  std::lock_guard guard(runnersMutex);
  runners[taskId] = this;
}

CTaskRunner::~CTaskRunner() {
  if (thread.IsStarted()) {
    Stop();
    WaitDone();
    thread.Wait(INFINITE);
  }
  std::lock_guard guard(runnersMutex);
  runners.erase(taskId);
}

long CTaskRunner::Sink(UINT message, int taskId, std::unique_ptr<HttpMsgData> data) {
  RecordedMessage recorded;
  recorded.message = message;
  if (data) {
    recorded.code = data->code;
    if (data->out) {
      recorded.text = data->out->text;
      if (data->out->data) {
        recorded.data.assign(reinterpret_cast<const char*>(data->out->data), data->out->dataLength);
      }
      recorded.httpStatus = data->out->httpStatus;
    }
  }
  std::lock_guard guard(runnersMutex);
  auto it = runners.find(taskId);
  if (it != runners.end()) it->second->Record(std::move(recorded));
  return 0;
}

void CTaskRunner::Record(RecordedMessage message) {
  // Notified under the lock, so that a waiter that then destroys the runner cannot race it.
  std::lock_guard guard(mutex);
  messages.push_back(std::move(message));
  changed.notify_all();
}

std::unique_ptr<CHttpTask> CTaskRunner::Build(const tagDefHttpPar& par) const {
  auto built = std::make_unique<CHttpTask>(taskId, &CTaskRunner::Sink);
  built->SetExtraParam(par.reserved);
  built->SetProxy(tagHProxyInfo{});
  return built;
}

bool CTaskRunner::StartFile(const tagDefHttpPar& par, const std::wstring& path, uint32_t offset,
                            const SYSTEMTIME* ifModifiedSince) {
  auto built = Build(par);
  long result = built->InitDownload(&par, ifModifiedSince, offset, path.c_str(), false, false);
  return Start(std::move(built), result);
}

bool CTaskRunner::StartMemory(const tagDefHttpPar& par) {
  auto built = Build(par);
  built->SetMemoryMode(1);
  long result = built->InitDownload(&par, nullptr, 0, nullptr, false, false);
  return Start(std::move(built), result);
}

bool CTaskRunner::StartUpload(const tagDefHttpPar& par, const std::string& body) {
  auto built = Build(par);
  auto upload = std::make_shared<UploadData>();
  upload->length = static_cast<uint32_t>(body.size());
  upload->data.reset(new unsigned char[body.size() + 1]);
  std::memcpy(upload->data.get(), body.data(), body.size());
  long result = built->InitUpload(&par, std::move(upload), false);
  return Start(std::move(built), result);
}

bool CTaskRunner::Start(std::unique_ptr<CHttpTask> built, long initResult) {
  if (initResult != 0) {
    built->FailTask();
    built.reset();
    std::lock_guard guard(mutex);
    done = true;
    return false;
  }
  {
    std::lock_guard guard(mutex);
    task = std::move(built);
  }
  if (stopBeforeRun) Stop();
  thread.Start([this] { Drive(); });
  return true;
}

void CTaskRunner::Drive() {
  CHttpTask* running;
  {
    std::lock_guard guard(mutex);
    running = task.get();
  }
  running->PreRun();
  running->Run();
  {
    std::lock_guard guard(mutex);
    runEndedAt = Clock::now();
  }
  running->PostRun();
  std::lock_guard guard(mutex);
  timing = task->GetTiming();
  task.reset();
  done = true;
  changed.notify_all();
}

void CTaskRunner::Stop() {
  std::lock_guard guard(mutex);
  if (stoppedAt == Clock::time_point{}) stoppedAt = Clock::now();
  if (task) task->Stop();
}

bool CTaskRunner::WaitDone(std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, deadline, [&] { return done; });
}

bool CTaskRunner::WaitFor(UINT message, std::chrono::milliseconds deadline) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, deadline, [&] {
    for (const RecordedMessage& m : messages) {
      if (m.message == message) return true;
    }
    return false;
  });
}

std::vector<RecordedMessage> CTaskRunner::Messages() const {
  std::lock_guard guard(mutex);
  return messages;
}

std::vector<UINT> CTaskRunner::MessageIds() const {
  std::vector<UINT> ids;
  for (const RecordedMessage& m : Messages()) ids.push_back(m.message);
  return ids;
}

size_t CTaskRunner::Count(UINT message) const {
  size_t n = 0;
  for (const RecordedMessage& m : Messages()) n += m.message == message;
  return n;
}

std::optional<RecordedMessage> CTaskRunner::Completion() const {
  for (const RecordedMessage& m : Messages()) {
    if (m.message == WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE ||
        m.message == WM_HTTPDOWNLOAD_UPLOAD_COMPLETE) {
      return m;
    }
  }
  return std::nullopt;
}

std::vector<std::pair<uint32_t, uint32_t>> CTaskRunner::Progress() const {
  std::vector<std::pair<uint32_t, uint32_t>> records;
  for (const RecordedMessage& m : Messages()) {
    if (m.message != WM_HTTPDOWNLOAD_PROGRESS || m.data.size() != 8) continue;
    auto field = [&](size_t at) {
      uint32_t value = 0;
      for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(m.data[at + i]);
      return value;
    };
    records.emplace_back(field(0), field(4));
  }
  return records;
}

std::chrono::milliseconds CTaskRunner::StopToRunEnd() const {
  std::lock_guard guard(mutex);
  return std::chrono::duration_cast<std::chrono::milliseconds>(runEndedAt - stoppedAt);
}
