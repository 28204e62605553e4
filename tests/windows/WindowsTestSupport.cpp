#include "tests/windows/WindowsTestSupport.h"

#include <cstdlib>

CCallbackRecord& CCallbackRecord::Get() {
  static CCallbackRecord record;
  return record;
}

int ZV_STDCALL CCallbackRecord::OnSend(int cookie, unsigned long, UDP_ERRORCODE code,
                                       tagUdpOut* out) {
  Get().Add('S', cookie, code, out);
  return 0;
}

int ZV_STDCALL CCallbackRecord::OnRecv(int cookie, unsigned long, UDP_ERRORCODE code,
                                       tagUdpOut* out) {
  Get().Add('R', cookie, code, out);
  return 0;
}

int ZV_STDCALL CCallbackRecord::OnOneShot(int cookie, unsigned long, UDP_ERRORCODE code,
                                          tagUdpOut* out) {
  Get().Add('C', cookie, code, out);
  return 0;
}

void CCallbackRecord::Add(char kind, int cookie, UDP_ERRORCODE code, const tagUdpOut* out) {
  std::string entry = kind + std::to_string(static_cast<int>(code));
  if (out && out->data)
    entry += ":" + std::string(reinterpret_cast<char*>(out->data), out->dataLength);
  std::lock_guard guard(lock);
  std::string& summary = summaries[cookie];
  summary += summary.empty() ? entry : " " + entry;
  threads[cookie].push_back(::GetCurrentThreadId());
}

std::string CCallbackRecord::Summary(int cookie) {
  std::lock_guard guard(lock);
  return summaries[cookie];
}

std::vector<DWORD> CCallbackRecord::Threads(int cookie) {
  std::lock_guard guard(lock);
  return threads[cookie];
}

void CCallbackRecord::Clear() {
  std::lock_guard guard(lock);
  summaries.clear();
  threads.clear();
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    ZvMsgLoop::Pump(50);
  }
  return true;
}

bool ReferenceServer(std::string* host, unsigned short* port) {
  const char* text = std::getenv("ZVNET_UDP_SERVER");
  if (!text) return false;
  const std::string address = text;
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  *host = address.substr(0, colon);
  *port = static_cast<unsigned short>(std::atoi(address.c_str() + colon + 1));
  return *port != 0;
}

CTestSocket::CTestSocket() {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local);
  int length = sizeof local;
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
  port = ntohs(local.sin_port);
}

CTestSocket::~CTestSocket() {
  ::closesocket(socket);
  ::WSACleanup();
}

std::vector<unsigned char> CTestSocket::Receive(sockaddr_in* from, DWORD deadlineMs) {
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&deadlineMs),
               sizeof deadlineMs);
  std::vector<unsigned char> buffer(2048);
  int fromLength = sizeof *from;
  const int n =
      ::recvfrom(socket, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                 reinterpret_cast<sockaddr*>(from), &fromLength);
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

bool CTestSocket::SendTo(const std::vector<unsigned char>& bytes, const sockaddr_in& to) {
  return ::sendto(socket, reinterpret_cast<const char*>(bytes.data()),
                  static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<int>(bytes.size());
}
