#include "tests/udp/UdpCallbackLog.h"

#include "platform/NoDestructor.h"
#include "platform/Thread.h"

CUdpCallbackLog& CUdpCallbackLog::Get() {
  static NoDestructor<CUdpCallbackLog> log;
  return *log;
}

void CUdpCallbackLog::Record(char kind, int cookie, unsigned long userParam, UDP_ERRORCODE code,
                             const tagUdpOut* out) {
  UdpCallbackEvent event;
  event.kind = kind;
  event.cookie = cookie;
  event.userParam = userParam;
  event.code = code;
  event.hasOut = out != nullptr;
  if (out) event.payload.assign(reinterpret_cast<const char*>(out->data), out->dataLength);
  event.threadId = GetCurrentThreadId();
  std::function<void(const UdpCallbackEvent&)> notify;
  {
    std::lock_guard guard(lock);
    events.push_back(event);
    notify = observer;
  }
  if (notify) notify(event);
}

void CUdpCallbackLog::Clear() {
  std::lock_guard guard(lock);
  events.clear();
  observer = nullptr;
}

std::vector<UdpCallbackEvent> CUdpCallbackLog::All() {
  std::lock_guard guard(lock);
  return events;
}

std::vector<UdpCallbackEvent> CUdpCallbackLog::For(int cookie) {
  std::vector<UdpCallbackEvent> found;
  for (const UdpCallbackEvent& event : All()) {
    if (event.cookie == cookie) found.push_back(event);
  }
  return found;
}

std::string CUdpCallbackLog::Summary(int cookie) {
  std::string text;
  for (const UdpCallbackEvent& event : For(cookie)) {
    if (!text.empty()) text += ' ';
    text += event.kind + std::to_string(event.code);
    if (event.hasOut) text += ':' + event.payload;
  }
  return text;
}

void CUdpCallbackLog::SetObserver(std::function<void(const UdpCallbackEvent&)> hook) {
  std::lock_guard guard(lock);
  observer = std::move(hook);
}
