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

std::string CTempFolder::Read(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void CTempFolder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
}
