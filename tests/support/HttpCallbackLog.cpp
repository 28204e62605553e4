#include "tests/support/HttpCallbackLog.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/Thread.h"

uint32_t HttpEvent::Word(size_t index) const {
  uint32_t value = 0;
  if (data.size() >= (index + 1) * 4) std::memcpy(&value, data.data() + index * 4, 4);
  return value;
}

int ZV_STDCALL CHttpCallbackLog::Callback(int taskId, unsigned long userParam,
                                          DOWNLOAD_ERRORCODE code, tagDataOut* out) {
  auto* log = reinterpret_cast<CHttpCallbackLog*>(userParam);
  HttpEvent event;
  event.taskId = taskId;
  event.code = code;
  event.hasOut = out != nullptr;
  event.threadId = GetCurrentThreadId();
  if (out) {
    if (out->data) event.data.assign(reinterpret_cast<const char*>(out->data), out->dataLength);
    event.text = out->text;
    event.httpStatus = out->httpStatus;
    event.failure = out->failure;
    event.systemError = out->systemError;
  }
  {
    std::lock_guard guard(log->mutex);
    log->events.push_back(event);
  }
  if (log->onEvent) log->onEvent(event);
  return 0;
}

std::vector<HttpEvent> CHttpCallbackLog::Events() const {
  std::lock_guard guard(mutex);
  return events;
}

std::vector<HttpEvent> CHttpCallbackLog::EventsOf(int taskId) const {
  std::vector<HttpEvent> selected = Events();
  std::erase_if(selected, [&](const HttpEvent& event) { return event.taskId != taskId; });
  return selected;
}

int CHttpCallbackLog::TerminalCount(int taskId) const {
  const std::vector<HttpEvent> mine = EventsOf(taskId);
  return static_cast<int>(std::count_if(mine.begin(), mine.end(),
                                        [](const HttpEvent& event) { return event.IsTerminal(); }));
}

HttpEvent CHttpCallbackLog::Terminal(int taskId) const {
  for (const HttpEvent& event : EventsOf(taskId)) {
    if (event.IsTerminal()) return event;
  }
  return {};
}
