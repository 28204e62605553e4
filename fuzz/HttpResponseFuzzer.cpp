// Feeds arbitrary bytes as a server's whole answer to the HTTP stand-in and asks it what the
// download task asks: status code, raw headers, Content-Length, Location (split as a redirect
// target) and Last-Modified, then reads the body. A loopback server on a thread of its own
// replays the current input to each connection and closes it, so every execution is one
// short exchange. Redirects are never followed: only loopback is ever contacted.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "frame/SplitUrl.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/NoDestructor.h"
#include "platform/win32/UniqueFd.h"
#include "platform/wininet/WinInet.h"

namespace {

// Threads: the server thread reads `answer`; the fuzzing thread sets it between exchanges.
// `lock` guards `answer`. Lives for the whole process (never destroyed).
class ReplayServer {
 public:
  ReplayServer() {
    listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), 16) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }

  void SetAnswer(std::string bytes) {
    std::lock_guard guard(lock);
    answer = std::move(bytes);
  }
  unsigned short Port() const { return port; }

 private:
  void Serve() {
    for (;;) {
      UniqueFd peer(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (peer.Get() < 0) continue;
      ReadRequestHead(peer.Get());
      std::string bytes;
      {
        std::lock_guard guard(lock);
        bytes = answer;
      }
      for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::send(peer.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::shutdown(peer.Get(), SHUT_WR);
    }
  }

  // Up to the blank line that ends a GET's head, or a second of silence.
  static void ReadRequestHead(int fd) {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      pollfd watch{fd, POLLIN, 0};
      if (::poll(&watch, 1, 1000) <= 0) return;
      char chunk[4096];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      head.append(chunk, static_cast<size_t>(n));
    }
  }

  UniqueFd listener;
  unsigned short port = 0;
  std::mutex lock;
  std::string answer;
};

ReplayServer& Server() {
  static NoDestructor<ReplayServer> server;
  return *server;
}

void QueryAsTheTaskDoes(HINTERNET request) {
  char status[100] = {};
  DWORD size = sizeof status;
  HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE, status, &size, nullptr);

  SYSTEMTIME modified{};
  size = sizeof modified;
  HttpQueryInfoW(request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &modified, &size,
                 nullptr);

  uint64_t length = 0;
  size = sizeof length;
  HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64, &length, &size,
                 nullptr);

  size = 0;
  if (!HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &size, nullptr) &&
        size / sizeof(wchar_t) >= text.size()) {
      std::abort();  // answered more than the buffer holds
    }
  }

  size = 0;
  if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::wstring location(size / sizeof(wchar_t) + 1, L'\0');
    if (HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr)) {
      location.resize(size / sizeof(wchar_t));
      static UrlComponents target;
      ClearUrlComponents(&target);
      SplitUrl(&target, location.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HINTERNET session =
      InternetOpenW(L"zvnet-fuzz", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  static const std::wstring url =
      L"http://127.0.0.1:" + std::to_wstring(Server().Port()) + L"/fuzz";
  Server().SetAnswer(std::string(reinterpret_cast<const char*>(data), size));
  HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
  if (!request) return 0;
  QueryAsTheTaskDoes(request);
  char body[4096];
  DWORD read = 0;
  while (InternetReadFile(request, body, sizeof body, &read) && read > 0) {
    if (read > sizeof body) std::abort();
  }
  InternetCloseHandle(request);
  return 0;
}
