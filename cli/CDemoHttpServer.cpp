#include "cli/CDemoHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  std::string hex;
  char byte[3];
  for (unsigned char b : digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return hex;
}

}  // namespace

CDemoHttpServer::~CDemoHttpServer() {
  stopping = true;
  if (listenFd >= 0) ::shutdown(listenFd, SHUT_RDWR);
  if (acceptThread.joinable()) acceptThread.join();
  if (listenFd >= 0) ::close(listenFd);
  std::lock_guard guard(connectionsMutex);
  for (auto& [fd, thread] : connections) ::shutdown(fd, SHUT_RDWR);
  for (auto& [fd, thread] : connections) {
    thread.join();
    ::close(fd);
  }
}

bool CDemoHttpServer::Start() {
  listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd, 64) != 0 ||
      ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    return false;
  }
  port = ntohs(addr.sin_port);
  acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

std::string CDemoHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

void CDemoHttpServer::AcceptLoop() {
  while (!stopping) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping) return;
      continue;
    }
    std::lock_guard guard(connectionsMutex);
    connections.emplace_back(fd, std::thread([this, fd] { Serve(fd); }));
  }
}

void CDemoHttpServer::Serve(int fd) {
  std::string pending;
  Request request;
  while (!stopping && ReadRequest(fd, pending, &request)) {
    if (!Respond(fd, request)) break;
  }
  ::shutdown(fd, SHUT_RDWR);
}

bool CDemoHttpServer::ReadRequest(int fd, std::string& pending, Request* request) {
  *request = Request{};
  size_t end;
  char buffer[16384];
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || pending.size() > (1 << 20)) return false;
    pending.append(buffer, static_cast<size_t>(n));
  }
  std::string head = pending.substr(0, end);
  pending.erase(0, end + 4);
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
  request->method = line.substr(0, sp1);
  request->path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  while (lineEnd != std::string::npos) {
    const size_t next = head.find("\r\n", lineEnd + 2);
    line = head.substr(lineEnd + 2,
                       next == std::string::npos ? std::string::npos : next - lineEnd - 2);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request->headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    lineEnd = next;
  }
  const size_t bodyLength = std::strtoull(request->headers["content-length"].c_str(), nullptr, 10);
  while (pending.size() < bodyLength) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
  }
  request->body = pending.substr(0, bodyLength);
  pending.erase(0, bodyLength);
  return true;
}

bool CDemoHttpServer::Respond(int fd, const Request& request) {
  if (request.method == "POST" && request.path == "/upload") {
    const std::string body = "received " + std::to_string(request.body.size()) + " bytes, sha256 " +
                             Sha256Hex(request.body) + "\n";
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    return SendAll(fd, head.data(), head.size()) && SendAll(fd, body.data(), body.size());
  }
  auto it = resources.find(request.path);
  if (it == resources.end() || (request.method != "GET" && request.method != "HEAD")) {
    const std::string head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    return SendAll(fd, head.data(), head.size());
  }
  return SendResource(fd, it->second, request);
}

bool CDemoHttpServer::SendResource(int fd, const Resource& resource, const Request& request) {
  auto header = request.headers.find("if-modified-since");
  if (header != request.headers.end() && header->second == resource.lastModified) {
    const std::string head = "HTTP/1.1 304 Not Modified\r\n\r\n";
    return SendAll(fd, head.data(), head.size());
  }
  size_t offset = 0;
  std::string status = "200 OK";
  std::string extra;
  auto range = request.headers.find("range");
  if (range != request.headers.end() && range->second.rfind("bytes=", 0) == 0) {
    offset = std::strtoull(range->second.c_str() + 6, nullptr, 10);
    if (offset >= resource.body.size()) {
      const std::string head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
      return SendAll(fd, head.data(), head.size());
    }
    status = "206 Partial Content";
    extra = "Content-Range: bytes " + std::to_string(offset) + "-" +
            std::to_string(resource.body.size() - 1) + "/" + std::to_string(resource.body.size()) +
            "\r\n";
  }
  std::string head = "HTTP/1.1 " + status +
                     "\r\nContent-Length: " + std::to_string(resource.body.size() - offset) +
                     "\r\n" + extra;
  if (!resource.lastModified.empty()) head += "Last-Modified: " + resource.lastModified + "\r\n";
  head += "\r\n";
  if (!SendAll(fd, head.data(), head.size())) return false;
  if (request.method == "HEAD") return true;
  const size_t piece = 64 * 1024;
  for (size_t at = offset; at < resource.body.size(); at += piece) {
    if (stopping) return false;
    const size_t n = std::min(piece, resource.body.size() - at);
    if (!SendAll(fd, resource.body.data() + at, n)) return false;
    if (resource.paceMs > 0) {
      // Wait for the pace, but give up at once when the peer closes the connection.
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, resource.paceMs) > 0) return false;
    }
  }
  return true;
}
