#include "platform/iphelper/ResolvConf.h"

#include <arpa/inet.h>

#include <fstream>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kKeyword = "nameserver";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The address text of a "nameserver" line, or empty for any other line.
std::string NameserverText(std::string_view line) {
  if (line.size() <= kKeyword.size() || line.substr(0, kKeyword.size()) != kKeyword ||
      !IsBlank(line[kKeyword.size()])) {
    return {};
  }
  size_t begin = kKeyword.size();
  while (begin < line.size() && IsBlank(line[begin])) ++begin;
  size_t end = line.find_first_of(" \t;#\r", begin);
  if (end == std::string_view::npos) end = line.size();
  return std::string(line.substr(begin, end - begin));
}

}  // namespace

std::vector<uint32_t> ReadResolvConfNameservers(const char* path) {
  std::vector<uint32_t> servers;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const std::string text = NameserverText(line);
    in_addr address;
    if (!text.empty() && ::inet_pton(AF_INET, text.c_str(), &address) == 1) {
      servers.push_back(address.s_addr);
    }
  }
  return servers;
}
