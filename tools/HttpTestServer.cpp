#include "tools/HttpTestServer.h"

// The Windows tree has no OpenSSL: there the server speaks plain HTTP only.
#ifndef _WIN32
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <signal.h>
#endif
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/win32/StringConv.h"
#include "tools/StopSignal.h"
#include "tools/UniqueSocket.h"

namespace {

constexpr size_t kMaxHead = 1 << 20;
// Generators are asked for at most this much at a time, so that one pausing part-way through
// a body pauses close to where it means to.
constexpr size_t kWriteChunk = 64 * 1024;

#ifdef _WIN32
struct TlsContext {};  // never made: no TLS on Windows
using TlsContextOwner = std::unique_ptr<TlsContext>;
#else
using TlsContext = SSL_CTX;
struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using TlsContextOwner = std::unique_ptr<SSL_CTX, SslCtxFree>;
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
#endif

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 407:
      return "Proxy Authentication Required";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

// One accepted connection, plain or TLS (not on Windows), with reads that give up when the
// server stops.
class CTestStream {
 public:
#ifdef _WIN32
  CTestStream(SocketHandle fd, TlsContext*, const CStopSignal& stop) : fd(fd), stop(stop) {}
  bool Handshake() {
    return true;
  }
  void Close() {}
#else
  CTestStream(SocketHandle fd, SSL_CTX* ctx, const CStopSignal& stop) : fd(fd), stop(stop) {
    if (ctx) ssl.reset(SSL_new(ctx));
  }

  bool Handshake() {
    if (!ssl) return true;
    SSL_set_fd(ssl.get(), fd);
    bool ok = SSL_accept(ssl.get()) == 1;
    ERR_clear_error();
    return ok;
  }

  void Close() {
    if (ssl) SSL_shutdown(ssl.get());
    ERR_clear_error();
  }
#endif

  // Appends what arrives to `in`; false at end of stream, on error, or when stopping.
  bool ReadSome(std::string& in) {
    if (!HasPending()) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop.WaitFd(), POLLIN, 0}};
      if (PollSockets(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN)) return false;
    }
    char buffer[65536];
    const long n = Receive(buffer, sizeof buffer);
    if (n <= 0) return false;
    in.append(buffer, static_cast<size_t>(n));
    return true;
  }

  bool WriteAll(const char* data, size_t length) {
    while (length > 0) {
      const long n = Transmit(data, static_cast<int>(std::min<size_t>(length, 1 << 30)));
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  // Waits `pause`; false when the peer closes the connection or the server stops meanwhile.
  bool PauseUnlessClosed(std::chrono::milliseconds pause) {
    pollfd fds[2] = {{fd, kPollPeerClosed, 0}, {stop.WaitFd(), POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(pause);
    return left.count() <= 0 || PollSockets(fds, 2, static_cast<int>(left.count())) == 0;
  }

 private:
  long PlainReceive(char* buffer, int size) {
    long n;
    do n = ::recv(fd, buffer, size, 0);
    while (n < 0 && SocketCallInterrupted());
    return n;
  }

  long PlainTransmit(const char* data, int size) {
    long n;
    do n = ::send(fd, data, size, kNoSigPipe);
    while (n < 0 && SocketCallInterrupted());
    return n;
  }

#ifdef _WIN32
  bool HasPending() const {
    return false;
  }
  long Receive(char* buffer, int size) {
    return PlainReceive(buffer, size);
  }
  long Transmit(const char* data, int size) {
    return PlainTransmit(data, size);
  }
#else
  // TLS may hold decrypted bytes that the socket no longer shows.
  bool HasPending() const {
    return ssl && SSL_pending(ssl.get()) > 0;
  }

  long Receive(char* buffer, int size) {
    if (!ssl) return PlainReceive(buffer, size);
    const long n = SSL_read(ssl.get(), buffer, size);
    ERR_clear_error();
    return n;
  }

  long Transmit(const char* data, int size) {
    if (!ssl) return PlainTransmit(data, size);
    const long n = SSL_write(ssl.get(), data, size);
    ERR_clear_error();
    return n;
  }

  std::unique_ptr<SSL, SslFree> ssl;
#endif

  SocketHandle fd;
  const CStopSignal& stop;
};

}  // namespace

class CHttpTestServer::Impl {
 public:
  explicit Impl(const TestTlsIdentity* identity) {
#ifdef _WIN32
    if (identity) throw std::runtime_error("test server: no TLS on Windows");
#else
    ::signal(SIGPIPE, SIG_IGN);
    if (identity) MakeTlsContext(*identity);
#endif
    listenFd.Reset(OpenSocket(AF_INET, SOCK_STREAM, 0));
    if (!listenFd.IsValid()) throw std::runtime_error("test server: socket");
    int one = 1;
    ::setsockopt(listenFd.Get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                 sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listenFd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd.Get(), 128) != 0 ||
        ::getsockname(listenFd.Get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      throw std::runtime_error("test server: listen");
    }
    port = ntohs(addr.sin_port);
    acceptor = std::thread([this] { AcceptLoop(); });
  }

  ~Impl() {
    stop.Set();
    acceptor.join();
    std::map<int, std::thread> threads;
    {
      std::lock_guard guard(mutex);
      // Unblocks reads and writes that wait on a peer.
      for (SocketHandle fd : openFds) ::shutdown(fd, kShutdownBoth);
      threads.swap(connectionThreads);
    }
    for (auto& [number, t] : threads) t.join();
  }

  void Handle(const std::string& path, HttpTestHandler handler) {
    std::lock_guard guard(mutex);
    handlers[path] = std::move(handler);
  }

  void Stall(const std::string& path) {
    std::lock_guard guard(mutex);
    stalled.insert(path);
  }

  std::vector<HttpTestRequest> Requests() const {
    std::lock_guard guard(mutex);
    return requests;
  }

  void ForgetRequests() {
    std::lock_guard guard(mutex);
    std::vector<HttpTestRequest>().swap(requests);
  }

  size_t RequestCount() const {
    std::lock_guard guard(mutex);
    return requests.size();
  }

  bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, deadline, [&] { return requests.size() >= count; });
  }

  int ConnectionCount() const {
    std::lock_guard guard(mutex);
    return connections;
  }

  bool IsTls() const {
    return ctx != nullptr;
  }
  uint16_t port = 0;

 private:
#ifndef _WIN32
  void MakeTlsContext(const TestTlsIdentity& identity) {
    ctx.reset(SSL_CTX_new(TLS_server_method()));
    BIO* certBio = BIO_new_mem_buf(identity.certificatePem.data(),
                                   static_cast<int>(identity.certificatePem.size()));
    BIO* keyBio = BIO_new_mem_buf(identity.privateKeyPem.data(),
                                  static_cast<int>(identity.privateKeyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    bool ok = cert && key && SSL_CTX_use_certificate(ctx.get(), cert) == 1 &&
              SSL_CTX_use_PrivateKey(ctx.get(), key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    if (!ok) throw std::runtime_error("test server: TLS identity");
  }
#endif

  void AcceptLoop() {
    pollfd fds[2] = {{listenFd.Get(), POLLIN, 0}, {stop.WaitFd(), POLLIN, 0}};
    for (;;) {
      if (PollSockets(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
      const SocketHandle fd = AcceptSocket(listenFd.Get());
      if (fd == kNoSocket) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      std::vector<std::thread> ended;
      {
        std::lock_guard guard(mutex);
        int number = ++connections;
        openFds.insert(fd);
        connectionThreads.emplace(number, [this, fd, number] {
          Serve(fd, number);
          std::lock_guard inner(mutex);
          openFds.erase(fd);
          CloseSocket(fd);
          endedConnections.push_back(number);
        });
        // An ended thread keeps its stack until joined: a server that lives through thousands
        // of connections (a soak) joins them as it goes, outside the lock they leave by.
        for (int gone : endedConnections) {
          ended.push_back(std::move(connectionThreads.extract(gone).mapped()));
        }
        endedConnections.clear();
      }
      for (std::thread& t : ended) t.join();
    }
  }

  void Serve(SocketHandle fd, int number) {
    CTestStream stream(fd, ctx.get(), stop);
    if (!stream.Handshake()) return;
    std::string in;
    for (;;) {
      HttpTestRequest request;
      if (!ReadHead(stream, in, request)) return;
      request.connection = number;
      if (IsStalled(request.path)) {
        Record(request);
        stop.Wait();
        return;
      }
      if (!ReadBody(stream, in, request)) return;
      Record(request);
      HttpTestResponse response = Answer(request);
      if (response.neverAnswer) {
        stop.Wait();
        return;
      }
      if (!Respond(stream, request, response)) {
        if (response.resetOnClose) {
          linger abort{1, 0};  // a zero linger time makes close() send a reset
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                       sizeof abort);
        } else {
          stream.Close();
        }
        return;
      }
    }
  }

  static bool ReadHead(CTestStream& stream, std::string& in, HttpTestRequest& request) {
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      if (in.size() > kMaxHead || !stream.ReadSome(in)) return false;
    }
    std::string head = in.substr(0, end);
    in.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    size_t s1 = line.find(' ');
    size_t s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) return false;
    request.method = line.substr(0, s1);
    request.target = line.substr(s1 + 1, s2 - s1 - 1);
    request.version = line.substr(s2 + 1);
    request.path = request.target.substr(0, request.target.find('?'));
    while (lineEnd != std::string::npos) {
      size_t next = head.find("\r\n", lineEnd + 2);
      std::string field = head.substr(
          lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
      size_t colon = field.find(':');
      if (colon != std::string::npos) {
        request.headers.emplace_back(field.substr(0, colon), Trim(field.substr(colon + 1)));
      }
      lineEnd = next;
    }
    return true;
  }

  static bool ReadExactly(CTestStream& stream, std::string& in, size_t count, std::string& out) {
    while (in.size() < count) {
      if (!stream.ReadSome(in)) return false;
    }
    out.append(in, 0, count);
    in.erase(0, count);
    return true;
  }

  static bool ReadLine(CTestStream& stream, std::string& in, std::string& line) {
    size_t end;
    while ((end = in.find("\r\n")) == std::string::npos) {
      if (in.size() > kMaxHead || !stream.ReadSome(in)) return false;
    }
    line = in.substr(0, end);
    in.erase(0, end + 2);
    return true;
  }

  static bool ReadBody(CTestStream& stream, std::string& in, HttpTestRequest& request) {
    if (EqualsNoCase(request.Header("Transfer-Encoding"), "chunked")) {
      for (;;) {
        std::string line;
        if (!ReadLine(stream, in, line)) return false;
        size_t size = std::stoul(line, nullptr, 16);
        if (size == 0) {
          while (ReadLine(stream, in, line) && !line.empty()) {
          }
          return true;
        }
        std::string crlf;
        if (!ReadExactly(stream, in, size, request.body) || !ReadExactly(stream, in, 2, crlf)) {
          return false;
        }
      }
    }
    std::string length = request.Header("Content-Length");
    if (length.empty()) return true;
    return ReadExactly(stream, in, std::stoull(length), request.body);
  }

  bool IsStalled(const std::string& path) {
    std::lock_guard guard(mutex);
    return stalled.count(path) != 0;
  }

  void Record(const HttpTestRequest& request) {
    {
      std::lock_guard guard(mutex);
      requests.push_back(request);
    }
    arrived.notify_all();
  }

  HttpTestResponse Answer(const HttpTestRequest& request) {
    HttpTestHandler handler;
    {
      std::lock_guard guard(mutex);
      auto it = handlers.find(request.path);
      if (it != handlers.end()) handler = it->second;
    }
    if (!handler) return HttpTestResponse::Text(404, "not found");
    return handler(request);
  }

  // False when the connection must close after this response.
  bool Respond(CTestStream& stream, const HttpTestRequest& request,
               const HttpTestResponse& response) {
    if (response.delayBeforeHeaders.count() > 0 && stop.WaitFor(response.delayBeforeHeaders)) {
      return false;
    }
    const bool noBody = request.method == "HEAD" || response.status == 204 ||
                        response.status == 304 || response.status / 100 == 1;
    const uint64_t available = response.BodyLength();
    uint64_t toSend = noBody ? 0 : available;
    if (response.closeAfterBodyBytes) toSend = std::min(toSend, *response.closeAfterBodyBytes);
    bool close = response.closeConnection || response.omitContentLength ||
                 response.closeAfterBodyBytes.has_value();

    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       (response.reason.empty() ? ReasonPhrase(response.status) : response.reason) +
                       "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (!response.omitContentLength && (response.contentLength || !noBody)) {
      uint64_t announced = response.contentLength.value_or(available);
      head += "Content-Length: " + std::to_string(announced) + "\r\n";
      if (!noBody && announced != toSend) close = true;
    }
    if (close) head += "Connection: close\r\n";
    head += "\r\n";
    if (!stream.WriteAll(head.data(), head.size())) return false;
    if (toSend > 0 && response.delayBeforeBody.count() > 0 &&
        stop.WaitFor(response.delayBeforeBody)) {
      return false;
    }
    if (response.stallAfterBodyBytes) {
      WriteBody(stream, response, std::min(toSend, *response.stallAfterBodyBytes));
      stop.Wait();
      return false;
    }
    if (!WriteBody(stream, response, toSend)) return false;
    return !close;
  }

  static bool WriteBody(CTestStream& stream, const HttpTestResponse& response, uint64_t count) {
    const bool paced = response.pacePerChunk.count() > 0;
    if (!response.generator && !paced) return stream.WriteAll(response.body.data(), count);
    std::string chunk(response.generator ? kWriteChunk : 0, '\0');
    for (uint64_t offset = 0; offset < count;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, count - offset));
      const char* bytes = response.body.data() + offset;
      if (response.generator) {
        response.generator(offset, chunk.data(), n);
        bytes = chunk.data();
      }
      if (!stream.WriteAll(bytes, n)) return false;
      offset += n;
      if (paced && offset < count && !stream.PauseUnlessClosed(response.pacePerChunk)) {
        return false;
      }
    }
    return true;
  }

  UniqueSocket listenFd;
  TlsContextOwner ctx;
  CStopSignal stop;
  std::thread acceptor;

  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable arrived;
  std::map<std::string, HttpTestHandler> handlers;
  std::set<std::string> stalled;
  std::vector<HttpTestRequest> requests;
  std::map<int, std::thread> connectionThreads;  // by connection number
  std::vector<int> endedConnections;             // whose threads have left Serve, to be joined
  std::set<SocketHandle> openFds;
  int connections = 0;
};

CHttpTestServer::CHttpTestServer() : impl(std::make_unique<Impl>(nullptr)) {}

CHttpTestServer::CHttpTestServer(const TestTlsIdentity& identity)
    : impl(std::make_unique<Impl>(&identity)) {}

CHttpTestServer::~CHttpTestServer() = default;

void CHttpTestServer::Handle(const std::string& path, HttpTestHandler handler) {
  impl->Handle(path, std::move(handler));
}

void CHttpTestServer::Serve(const std::string& path, HttpTestResponse response) {
  impl->Handle(path, [response](const HttpTestRequest&) { return response; });
}

void CHttpTestServer::StallOnRequestBody(const std::string& path) {
  impl->Stall(path);
}

uint16_t CHttpTestServer::Port() const {
  return impl->port;
}

std::string CHttpTestServer::Origin(const std::string& host) const {
  return std::string(impl->IsTls() ? "https://" : "http://") + host + ":" +
         std::to_string(impl->port);
}

std::wstring CHttpTestServer::Url(std::string_view pathAndQuery, const std::string& host) const {
  return Utf8ToWide(Origin(host) + std::string(pathAndQuery));
}

std::vector<HttpTestRequest> CHttpTestServer::Requests() const {
  return impl->Requests();
}

size_t CHttpTestServer::RequestCount() const {
  return impl->RequestCount();
}

void CHttpTestServer::ForgetRequests() {
  impl->ForgetRequests();
}

bool CHttpTestServer::WaitForRequests(size_t count, std::chrono::milliseconds deadline) const {
  return impl->WaitForRequests(count, deadline);
}

int CHttpTestServer::ConnectionCount() const {
  return impl->ConnectionCount();
}
