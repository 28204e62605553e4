#include "tools/HttpTestResource.h"

#include <cstdio>
#include <cstring>

CHttpTestResource::CHttpTestResource(std::string content, time_t lastModified)
    : content(std::make_shared<const std::string>(std::move(content))),
      lastModified(lastModified) {}

CHttpTestResource CHttpTestResource::Paced(std::chrono::milliseconds perChunk) const {
  CHttpTestResource paced = *this;
  paced.pace = perChunk;
  return paced;
}

std::string CHttpTestResource::FormatHttpDate(time_t time) {
  tm parts{};
  ::gmtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

time_t CHttpTestResource::ParseHttpDate(const std::string& text) {
  tm parts{};
  const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (!end) return -1;
  return ::timegm(&parts);
}

HttpTestResponse CHttpTestResource::operator()(const HttpTestRequest& request) const {
  HttpTestResponse response;
  response.pacePerChunk = pace;
  if (lastModified != 0) response.With("Last-Modified", FormatHttpDate(lastModified));
  std::string since = request.Header("If-Modified-Since");
  if (!since.empty() && lastModified != 0) {
    time_t sinceTime = ParseHttpDate(since);
    if (sinceTime >= 0 && lastModified <= sinceTime) {
      response.status = 304;
      return response;
    }
  }
  const uint64_t size = content->size();
  std::string range = request.Header("Range");
  unsigned long long first = 0, last = 0;
  int fields = range.empty() ? 0 : std::sscanf(range.c_str(), "bytes=%llu-%llu", &first, &last);
  if (fields < 1) {
    response.body = *content;
    return response;
  }
  if (fields < 2 || last >= size) last = size == 0 ? 0 : size - 1;
  if (first >= size || last < first) {
    response.status = 416;
    response.With("Content-Range", "bytes */" + std::to_string(size));
    return response;
  }
  response.status = 206;
  response.With("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                     "/" + std::to_string(size));
  response.body = content->substr(first, last - first + 1);
  return response;
}
