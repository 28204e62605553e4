// A data folder of the test process's own (ZVNET_APPDATA) whose "config.ini" turns reports
// on. The switch is read once per process, so a test binary that sends reports makes one of
// these before its first test (a global test environment) and keeps it to the end; tests
// point REPORT_HOST at their receiver.
#ifndef ZVNET_TESTS_SUPPORT_REPORTSETTINGS_H_
#define ZVNET_TESTS_SUPPORT_REPORTSETTINGS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

class CReportSettings : public testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

  // Rewrites config.ini with REPORT=1 and REPORT_HOST=127.0.0.1:<port> (none when port is 0).
  static void PointAt(uint16_t port);

 private:
  static std::string folder;
};

#endif  // ZVNET_TESTS_SUPPORT_REPORTSETTINGS_H_
