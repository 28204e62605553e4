#include "tests/udp/UdpCallbackLog.h"

#include "platform/win32/NoDestructor.h"
#include "platform/win32/Thread.h"

CUdpCallbackLog& CUdpCallbackLog::Get() {
  static NoDestructor<CUdpCallbackLog> log;
  return *log;
}

void CUdpCallbackLog::Record(char kind, int cookie, unsigned long userParam, UDP_ERRORCODE code,
                             const tagUdpOut* out) {
  UdpCallbackEvent event{kind, cookie, userParam, code, out != nullptr, "", GetCurrentThreadId()};
  if (out) event.payload.assign(reinterpret_cast<const char*>(out->data), out->dataLength);
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

std::string CUdpCallbackLog::Summary(int cookie) {
  std::string text;
  std::lock_guard guard(lock);
  for (const UdpCallbackEvent& event : events) {
    if (event.cookie != cookie) continue;
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
