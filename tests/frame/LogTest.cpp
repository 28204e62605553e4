#include <gtest/gtest.h>

#include "frame/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Pump.h"
#include "zvxlog.h"

TEST(LogTest, LinesCarryLevelTagAndWindowsWidePrintfMeanings) {
  CLogCapture capture;
  XLog(LOG_EVENT, L"", L"[%-4s|%S|%hs|%ls|%c|%%s|%5.1lf]", L"ab", "nar", "row", L"w", L'z', 2.25);
  WriteLog(LOG_FAIL, L"CUdpTask sendto error %d", 10060);
  WriteLogTagged(LOG_TRACE, L"302", L"OnStatusCallback 302, new url is %s", L"http://h\u00e9/");
  WriteLog(LOG_EVENT, L"speed %lf in %s\n", 1.5, L"ms");
  ASSERT_TRUE(capture.WaitFor("speed", 5000ms));
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("[ab  |nar|row|w|z|%s|  2.2]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("FAIL CUdpTask sendto error 10060"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("TRACE [302] OnStatusCallback 302, new url is http://h\xC3\xA9/"),
            std::string::npos)
      << lines[2];
  EXPECT_NE(lines[3].find("speed 1.500000 in ms"), std::string::npos) << lines[3];

  XLogSetLevel(LOG_FAIL);  // lines below it are dropped
  WriteLog(LOG_TRACE, L"trace line");
  WriteLog(LOG_APIERR, L"api line");
  ASSERT_TRUE(capture.WaitFor("api line", 5000ms));
  EXPECT_FALSE(capture.Contains("trace line"));
}
