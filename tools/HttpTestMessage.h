// What a test HTTP server receives and what a test scripts it to answer (CHttpTestServer).
#ifndef ZVNET_TOOLS_HTTPTESTMESSAGE_H_
#define ZVNET_TOOLS_HTTPTESTMESSAGE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using HttpTestHeaders = std::vector<std::pair<std::string, std::string>>;

// A server's certificate and private key, both PEM, for an HTTPS test server.
struct TestTlsIdentity {
  std::string certificatePem;
  std::string privateKeyPem;
};

// One request as it arrived.
struct HttpTestRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;    // target up to "?"
  std::string version;
  HttpTestHeaders headers;  // in the order received
  std::string body;
  int connection = 0;  // 1-based number of the connection it came on (keep-alive checks)

  // The first header of that name (case-insensitive); empty when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

// Fills `length` bytes at `out` with the body bytes that start at `offset`.
using HttpTestBodyGenerator = std::function<void(uint64_t offset, char* out, size_t length)>;

// One scripted answer. By default: the status, the headers given, a Content-Length that
// matches the body, and the connection kept alive.
struct HttpTestResponse {
  int status = 200;
  std::string reason;  // empty: the standard phrase of the status
  HttpTestHeaders headers;
  std::string body;

  // Content-Length to announce instead of the body's size. When it differs from the bytes
  // sent, the server closes the connection after the body (a lying server).
  std::optional<uint64_t> contentLength;
  // No Content-Length: the body ends when the server closes the connection.
  bool omitContentLength = false;
  // Sends only this many body bytes, then closes the connection.
  std::optional<uint64_t> closeAfterBodyBytes;
  // Sends only this many body bytes, then holds the connection open until the server stops.
  std::optional<uint64_t> stallAfterBodyBytes;
  // When the connection closes after this response, it ends with a reset (RST), not a FIN.
  bool resetOnClose = false;
  std::chrono::milliseconds delayBeforeHeaders{0};
  std::chrono::milliseconds delayBeforeBody{0};
  // Sends nothing at all and holds the connection open until the server stops.
  bool neverAnswer = false;
  // Adds "Connection: close" and closes after the response.
  bool closeConnection = false;
  // Pauses this long after each 64 KiB of body, so that a client's stop lands part-way; a
  // client that closes the connection ends the pause and the response.
  std::chrono::milliseconds pacePerChunk{0};
  // A large body made on the fly instead of `body`: `generatedLength` bytes from `generator`.
  uint64_t generatedLength = 0;
  HttpTestBodyGenerator generator;

  static HttpTestResponse Text(int status, std::string body);
  static HttpTestResponse Redirect(int status, std::string location);
  HttpTestResponse& With(std::string name, std::string value);
  uint64_t BodyLength() const { return generator ? generatedLength : body.size(); }
};

// Answers one request. Handlers run on the server's connection threads, possibly several at
// a time, so whatever they share must be thread-safe.
using HttpTestHandler = std::function<HttpTestResponse(const HttpTestRequest&)>;

#endif  // ZVNET_TOOLS_HTTPTESTMESSAGE_H_
