#include "tests/support/ReportSettings.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

std::string CReportSettings::folder;

void CReportSettings::SetUp() {
  char dir[] = "/tmp/zvnet-report-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  folder = dir;
  ::setenv("ZVNET_APPDATA", dir, 1);
  PointAt(0);
}

void CReportSettings::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  ::unsetenv("ZVNET_APPDATA");
}

void CReportSettings::PointAt(uint16_t port) {
  std::ofstream config(folder + "/config.ini", std::ios::trunc);
  config << "[CFG]\nREPORT=1\n";
  if (port != 0) config << "REPORT_HOST=127.0.0.1:" << port << "\n";
}
