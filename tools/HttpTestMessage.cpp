#include "tools/HttpTestMessage.h"

#include <strings.h>

std::string HttpTestRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return {};
}

bool HttpTestRequest::HasHeader(std::string_view name) const {
  for (const auto& header : headers) {
    const std::string& key = header.first;
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return true;
    }
  }
  return false;
}

HttpTestResponse HttpTestResponse::Text(int status, std::string body) {
  HttpTestResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

HttpTestResponse HttpTestResponse::Redirect(int status, std::string location) {
  HttpTestResponse response;
  response.status = status;
  response.headers.emplace_back("Location", std::move(location));
  return response;
}

HttpTestResponse& HttpTestResponse::With(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
  return *this;
}
