#include "tools/HttpTestResource.h"

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>

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

// Without strptime and timegm, which Windows lacks: the C locale's names, and the calendar.
time_t CHttpTestResource::ParseHttpDate(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  tm parts{};
  in >> std::get_time(&parts, "%a, %d %b %Y %H:%M:%S GMT");
  if (in.fail()) return -1;
  using namespace std::chrono;
  const sys_days day{year(parts.tm_year + 1900) / (parts.tm_mon + 1) / parts.tm_mday};
  return system_clock::to_time_t(day + hours(parts.tm_hour) + minutes(parts.tm_min) +
                                 seconds(parts.tm_sec));
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
