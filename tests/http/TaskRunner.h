// Runs one CHttpTask the way a worker does (Init, then PreRun, Run, PostRun on a thread of
// its own, then delete) and records every message the task hands over, through Sink given to
// the task in place of the HTTP task service's.
//
// Threads: the test thread starts, stops and inspects; the runner's thread drives the task.
// `mutex` guards `task` (so Stop never meets a deleted task) and the recorded messages.
#ifndef ZVNET_TESTS_HTTP_TASKRUNNER_H_
#define ZVNET_TESTS_HTTP_TASKRUNNER_H_

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/HttpTask.h"
#include "platform/win32/Thread.h"

// A request for `url` with the given HTTPPAR_* flags.
inline tagDefHttpPar HttpPar(const std::wstring& url, uint32_t flags = 0) {
  tagDefHttpPar par;
  par.url = url;
  par.flags = flags;
  return par;
}

// A message as the service would have received it.
struct RecordedMessage {
  UINT message = 0;
  DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
  std::wstring text;
  std::string data;
  int32_t httpStatus = 0;
};

class CTaskRunner {
 public:
  using Clock = std::chrono::steady_clock;

  CTaskRunner();
  ~CTaskRunner();
  CTaskRunner(const CTaskRunner&) = delete;
  CTaskRunner& operator=(const CTaskRunner&) = delete;

  // Start a download to a file (empty path: to memory, as the worker's file kind does), a
  // memory download, or an upload. False when the task's Init refused it; the runner then
  // reports the failure as the worker does (FailTask).
  bool StartFile(const tagDefHttpPar& par, const std::wstring& path, uint32_t offset = 0,
                 const SYSTEMTIME* ifModifiedSince = nullptr);
  bool StartMemory(const tagDefHttpPar& par);
  bool StartUpload(const tagDefHttpPar& par, const std::string& body);

  // Stops the task now (as the service's StopTask does) and notes when.
  void Stop();
  // Makes the next Start stop the task after its Init and before PreRun and Run.
  void StopBeforeRun() { stopBeforeRun = true; }
  // Waits until the thread has run the task to its end and deleted it.
  bool WaitDone(std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Waits until a message of this id was recorded.
  bool WaitFor(UINT message, std::chrono::milliseconds deadline = std::chrono::seconds(20));

  int TaskId() const { return taskId; }
  std::vector<RecordedMessage> Messages() const;
  std::vector<UINT> MessageIds() const;
  size_t Count(UINT message) const;
  // The completion (download or upload); null when none was posted.
  std::optional<RecordedMessage> Completion() const;
  // Progress records as (bytes held, expected end) pairs.
  std::vector<std::pair<uint32_t, uint32_t>> Progress() const;
  // Time from Stop to the end of Run.
  std::chrono::milliseconds StopToRunEnd() const;
  CHttpTask::Timing Timing() const { return timing; }

  // Records for the runner of `taskId`; what a task built elsewhere with this sink reports
  // reaches the runner of its id.
  static long Sink(UINT message, int taskId, std::unique_ptr<HttpMsgData> data);

 private:
  std::unique_ptr<CHttpTask> Build(const tagDefHttpPar& par) const;
  bool Start(std::unique_ptr<CHttpTask> built, long initResult);
  void Drive();
  void Record(RecordedMessage message);

  int taskId;
  CThread thread;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::unique_ptr<CHttpTask> task;
  bool done = false;
  bool stopBeforeRun = false;
  std::vector<RecordedMessage> messages;
  Clock::time_point stoppedAt{};
  Clock::time_point runEndedAt{};
  CHttpTask::Timing timing{};
};

#endif  // ZVNET_TESTS_HTTP_TASKRUNNER_H_
