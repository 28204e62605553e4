// A static resource for CHttpTestServer that answers as a plain web server does: 200 with the
// whole body, 206 for "Range: bytes=N-" or "bytes=N-M", 416 for a range past the end, and 304
// when "If-Modified-Since" is not older than its Last-Modified time.
//
//   server.Handle("/file", CHttpTestResource(content, lastModified));
//
// Copies share the content; it is immutable, so the handler is safe on any thread.
#ifndef ZVNET_TOOLS_HTTPTESTRESOURCE_H_
#define ZVNET_TOOLS_HTTPTESTRESOURCE_H_

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "tools/HttpTestMessage.h"

class CHttpTestResource {
 public:
  // `lastModified` in seconds since the epoch (UTC); 0 sends no Last-Modified header.
  explicit CHttpTestResource(std::string content, time_t lastModified = 0);

  // The same resource, its body paced (HttpTestResponse::pacePerChunk).
  CHttpTestResource Paced(std::chrono::milliseconds perChunk) const;

  HttpTestResponse operator()(const HttpTestRequest& request) const;

  // "Sun, 06 Nov 1994 08:49:37 GMT" for a UTC time, and back (-1 when unreadable).
  static std::string FormatHttpDate(time_t time);
  static time_t ParseHttpDate(const std::string& text);

 private:
  std::shared_ptr<const std::string> content;
  time_t lastModified;
  std::chrono::milliseconds pace{0};
};

#endif  // ZVNET_TOOLS_HTTPTESTRESOURCE_H_
