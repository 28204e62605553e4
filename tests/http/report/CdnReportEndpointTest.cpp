#include <gtest/gtest.h>

#include "http/report/CdnReportEndpoint.h"
#include "platform/win32/StringConv.h"

TEST(CdnReportEndpointTest, UrlCarriesTheBase64TextUnescaped) {
  EXPECT_EQ(BuildReportUrl(L"127.0.0.1:8080", "ab+/c=="),
            L"http://127.0.0.1:8080/downloadComplete?ver=0&ab+/c==");
  for (const wchar_t* host : {L"reports.example", L"[::1]:81"}) {
    EXPECT_TRUE(IsValidReportHost(host));
  }
  for (const wchar_t* host : {L"", L"host/path", L"user@host", L"host name"}) {
    EXPECT_FALSE(IsValidReportHost(host)) << WideToUtf8(host);
  }
}
