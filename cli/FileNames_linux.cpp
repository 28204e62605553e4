// Linux: every byte but '/' and NUL can be in a name, and names differ by case.
#include "cli/FileNames.h"

std::string PlainFileName(std::string_view leaf) {
  if (leaf == "." || leaf == "..") return "";
  return std::string(leaf);
}

std::string SameFileKey(const std::string& path) {
  return path;
}
