#include "WordList.h"

#include <fstream>

bool CWordList::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::vector<std::string> read;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) read.push_back(std::move(line));
  }
  words = std::move(read);
  return true;
}

std::vector<std::string> CWordList::Complete(const std::string& prefix, size_t limit) const {
  std::vector<std::string> found;
  for (const std::string& word : words) {
    if (found.size() >= limit) break;
    if (word.size() > prefix.size() && word.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(word);
    }
  }
  return found;
}
