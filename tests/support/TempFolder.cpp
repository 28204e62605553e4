#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

CTempFolder::CTempFolder() {
  char name[] = "/tmp/zvnet-test-XXXXXX";
  if (!::mkdtemp(name)) throw std::runtime_error("no temporary folder");
  root = name;
}

CTempFolder::~CTempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

std::string CTempFolder::ReadPath(const std::filesystem::path& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void CTempFolder::WritePath(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
