#include "tools/CdnReportReceiver.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>

#include "http/report/CdnReportCipher.h"
#include "platform/win32/StringConv.h"
#include "platform/wininet/PercentDecode.h"

bool DecryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length) {
  return TransformReportBlocks(key, buffer, length, false);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr auto kHeadDeadline = std::chrono::seconds(5);
constexpr std::string_view kReportPrefix = "/downloadComplete?ver=0&";

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard Base64 in groups of four, "=" only at the end; nothing for any other text.
std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(value);
    if (i % 4 == 3) {
      bytes += static_cast<char>(group >> 16);
      bytes += static_cast<char>(group >> 8);
      bytes += static_cast<char>(group);
    }
  }
  if (padding == 1) {  // three characters left: two bytes
    bytes += static_cast<char>(group >> 10);
    bytes += static_cast<char>(group >> 2);
  } else if (padding == 2) {  // two characters left: one byte
    bytes += static_cast<char>(group >> 4);
  }
  return bytes;
}

std::wstring DecodeUtf16Le(const uint8_t* bytes, size_t units) {
  std::wstring text;
  for (size_t i = 0; i < units; ++i) {
    char32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
      char32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    text += static_cast<wchar_t>(unit);
  }
  return text;
}

void SendAll(const UniqueSocket& connection, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 30));
    const long n = ::send(connection.Get(), bytes.data() + sent, chunk, kNoSigPipe);
    if (n < 0 && SocketCallInterrupted()) continue;
    if (n <= 0) return;  // the client went away; nothing more to tell it
    sent += static_cast<size_t>(n);
  }
}

void SendResponse(const UniqueSocket& connection, const char* status, const std::string& body) {
  std::string response = std::string("HTTP/1.1 ") + status +
                         "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  SendAll(connection, response);
}

}  // namespace

std::optional<std::wstring> OpenCdnReport(std::string_view base64) {
  std::optional<std::string> bytes = DecodeBase64(base64);
  if (!bytes) return std::nullopt;
  auto* out = reinterpret_cast<uint8_t*>(bytes->data());
  const size_t length = bytes->size();
  if (length == 0 || length % kReportBlockBytes != 0) return std::nullopt;
  if (!DecryptReportBlocks(reinterpret_cast<const uint8_t*>(kCdnReportKey), out, length)) {
    return std::nullopt;
  }
  size_t units = length / 2;
  while (units > 0 && out[2 * units - 2] == 0 && out[2 * units - 1] == 0) --units;
  return DecodeUtf16Le(out, units);
}

CCdnReportReceiver::CCdnReportReceiver(Handler handler) : handler(std::move(handler)) {}

CCdnReportReceiver::~CCdnReportReceiver() {
  Stop();
}

bool CCdnReportReceiver::Start(const std::string& address, uint16_t wantedPort) {
  if (thread.joinable() || !quit.IsValid()) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(wantedPort).c_str(), &hints, &found) != 0) {
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> owner(found);
  UniqueSocket socket(OpenSocket(found->ai_family, SOCK_STREAM, 0));
#ifndef _WIN32
  // On Windows the same option would let another program take the port while it is used.
  const int on = 1;
  if (socket.IsValid() && ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return false;
#endif
  if (!socket.IsValid() ||
      ::bind(socket.Get(), found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 ||
      ::listen(socket.Get(), 16) != 0) {
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return false;
  port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  listener = std::move(socket);
  quit.Reset();
  try {
    thread = std::thread([this] { Serve(); });
  } catch (const std::system_error&) {
    listener.Reset();
    return false;
  }
  return true;
}

void CCdnReportReceiver::Stop() {
  if (!thread.joinable()) return;
  quit.Set();
  thread.join();
  listener.Reset();
}

std::vector<std::wstring> CCdnReportReceiver::Received() const {
  std::lock_guard hold(lock);
  return reports;
}

size_t CCdnReportReceiver::Count() const {
  std::lock_guard hold(lock);
  return reports.size();
}

std::optional<std::wstring> CCdnReportReceiver::OpenRequestTarget(const std::string& target) {
  std::string_view path = target;
  if (path.rfind("http://", 0) == 0) {  // absolute form, as a proxy may pass it on
    size_t slash = path.find('/', 7);
    if (slash == std::string_view::npos) return std::nullopt;
    path.remove_prefix(slash);
  }
  if (path.rfind(kReportPrefix, 0) != 0) return std::nullopt;
  return OpenCdnReport(PercentDecode(path.substr(kReportPrefix.size())));
}

void CCdnReportReceiver::Serve() {
  for (;;) {
    if (!WaitReadable(listener.Get(), -1)) return;
    UniqueSocket connection(AcceptSocket(listener.Get()));
    if (connection.IsValid()) Answer(connection);
  }
}

void CCdnReportReceiver::Answer(const UniqueSocket& connection) {
  std::string head = ReadHead(connection);
  size_t lineEnd = head.find("\r\n");
  std::string_view line = std::string_view(head).substr(0, lineEnd);
  size_t first = line.find(' ');
  size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.substr(0, first) != "GET") {
    SendResponse(connection, "400 Bad Request", "not a GET request\n");
    return;
  }
  std::string target(line.substr(first + 1, second - first - 1));
  std::optional<std::wstring> query = OpenRequestTarget(target);
  if (!query) {
    SendResponse(connection, "404 Not Found", "not a readable report\n");
    return;
  }
  {
    std::lock_guard hold(lock);
    reports.push_back(*query);
  }
  if (handler) handler(*query);
  SendResponse(connection, "200 OK", WideToUtf8(*query) + "\n");
}

std::string CCdnReportReceiver::ReadHead(const UniqueSocket& connection) {
  std::string head;
  const auto deadline = Clock::now() + kHeadDeadline;
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHeadBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {};
    if (!WaitReadable(connection.Get(), static_cast<int>(left.count()))) return {};
    char buffer[4096];
    // Readable: the read does not wait.
    const long n = ::recv(connection.Get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && !SocketCallInterrupted())) return {};
    if (n > 0) head.append(buffer, static_cast<size_t>(n));
  }
  return head;
}

bool CCdnReportReceiver::WaitReadable(SocketHandle socket, int timeoutMs) const {
  pollfd fds[2] = {{quit.WaitFd(), POLLIN, 0}, {socket, POLLIN, 0}};
  const int ready = PollSockets(fds, 2, timeoutMs);
  return ready > 0 && !(fds[0].revents & POLLIN) && fds[1].revents != 0;
}
