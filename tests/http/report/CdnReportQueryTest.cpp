#include <gtest/gtest.h>
#include <locale.h>

#include <string>

#include "http/report/CdnReportQuery.h"
#include "tests/http/report/ReportFields.h"

TEST(CdnReportQueryTest, CarriesEveryKeyInItsPlace) {
  EXPECT_EQ(BuildCdnReportQuery(MeasuredDownload(), FoundHost()),
            L"pid=ime&type=1&fr=&rip=0A470302&cname=edge.cdn.example&dnst=12&ldip1=0A000001&"
            L"ldip2=0A000002&ctime=34&rtime=&dtime=2000&dsize=5000000&dspeed=2500000.00&tt=2100&"
            L"hc=200&url=http%3A%2F%2Fcdn%2Eexample%2Fa%20b%2Ebin&usrip=&"
            L"trace=10.71.1.2[0][-1]10.71.3.2[1]&key=end");
}

TEST(CdnReportQueryTest, SpeedIsWholeBytesPerSecondOfTheFirstResponseTime) {
  auto speed = [](DWORD bytes, DWORD firstResponseMs) {
    CdnReportFacts facts = MeasuredDownload();
    facts.bytesReceived = bytes;
    facts.firstResponseMs = firstResponseMs;
    return FieldValue(ParseReportFields(BuildCdnReportQuery(facts, FoundHost())), "dspeed");
  };
  EXPECT_EQ(speed(5000000, 2000), "2500000.00");
  EXPECT_EQ(speed(1, 3), "333.00");
  EXPECT_EQ(speed(4000000000u, 1), "4000000000000.00") << "no 32-bit overflow";
  EXPECT_EQ(speed(100, 0), "");
  EXPECT_EQ(speed(100, kNotMeasured), "");
  EXPECT_EQ(speed(0, 10), "");
}

TEST(CdnReportQueryTest, ServerRuleLooksForQmrAfterServerAnywhere) {
  for (const auto& [head, matches] : std::vector<std::pair<const wchar_t*, bool>>{
           {L"HTTP/1.1 200 OK\r\nServer:   QMR/2.1\r\n\r\n", true},
           {L"HTTP/1.1 200 OK\r\nServer:\tQMR\r\n", true},
           {L"Server: other\r\nServer:\r\n QMR\r\n", true},  // the second one
           {L"X-Via: Server:QMR\r\n", true},                 // a search, not a line match
           {L"HTTP/1.1 200 OK\r\nServer: nginx\r\n", false},
           {L"HTTP/1.1 200 OK\r\nserver: QMR\r\n", false},  // case matters
           {L"Server: xQMR\r\n", false},
           {L"Server: QM", false},
           {L"", false}}) {
    EXPECT_EQ(MatchesCdnServer(head), matches) << WideToUtf8(head);
  }
}

// In UTF-8 a byte of 0x82..0xFD takes the next byte above 0x41 with it, letter or not; in
// ASCII unmappable characters become '?'.
TEST(CdnReportQueryTest, EscapingKeepsAsciiLettersAndDigitsAndUsesTheLocaleCharacterSet) {
  const struct {
    const char* charset;
    const wchar_t *text, *escaped;
  } rows[] = {
      {"C", L"http://a.b/c?d=1&e", L"http%3A%2F%2Fa%2Eb%2Fc%3Fd%3D1%26e"},
      {"C", L"AZaz09", L"AZaz09"},
      {"C", L"", L""},
      {"C", L"\u00E9x", L"%3Fx"},
      {"C.UTF-8", L"\u00E9", L"%C3%A9"},
      {"C.UTF-8", L"\u00E9B", L"%C3%A9B"},
      {"C.UTF-8", L"\u20ACB", L"%E2%82%AC%42"},
      {"C.UTF-8", L"\u20AC1", L"%E2%82%AC1"},
  };
  for (const auto& row : rows) {
    const locale_t own = newlocale(LC_CTYPE_MASK, row.charset, nullptr);
    ASSERT_TRUE(own) << row.charset;
    const locale_t previous = uselocale(own);
    EXPECT_EQ(EscapeForReport(row.text), row.escaped) << WideToUtf8(row.escaped);
    uselocale(previous);
    freelocale(own);
  }
}
