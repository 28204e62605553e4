#include <gtest/gtest.h>
#include <locale.h>

#include <string>
#include <vector>

#include "http/report/CdnReportCipher.h"
#include "http/report/CdnReportEndpoint.h"
#include "http/report/CdnReportQuery.h"
#include "platform/win32/StringConv.h"
#include "tests/support/ReportFields.h"
#include "tools/CdnReportReceiver.h"

namespace {

// Asked for, no error, resolved in 12 ms, connected in 34, first response after 2,000 and
// done after 2,100, 5,000,000 bytes, status 200.
CdnReportFacts MeasuredDownload() {
  return {true,
          0,
          L"cdn.example",
          L"",
          12,
          34,
          2000,
          2100,
          5000000,
          200,
          L"http://cdn.example/a b.bin"};
}

CdnReportLookups FoundHost() {
  return {L"0A470302", L"edge.cdn.example", L"0A000001", L"0A000002",
          L"10.71.1.2[0][-1]10.71.3.2[1]"};
}

}  // namespace

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

TEST(CdnReportCipherTest, BlocksAreAes256EachOnItsOwn) {
  // FIPS-197 appendix C.3.
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> plain = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  const std::vector<uint8_t> cipher = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                       0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};
  std::vector<uint8_t> buffer = plain;
  buffer.insert(buffer.end(), plain.begin(), plain.end());
  ASSERT_TRUE(EncryptReportBlocks(key, buffer.data(), buffer.size()));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 16), cipher);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 16, buffer.end()), cipher) << "no chaining";
  ASSERT_TRUE(DecryptReportBlocks(key, buffer.data(), buffer.size()));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 16), plain);
  EXPECT_FALSE(EncryptReportBlocks(key, buffer.data(), 15));
}

TEST(CdnReportCipherTest, SealedTextOpensAsItWasAndNothingElseOpens) {
  const std::wstring query = BuildCdnReportQuery(MeasuredDownload(), FoundHost());
  std::string sealed;
  ASSERT_EQ(SealCdnReport(query, &sealed), ReportSealResult::kSealed);
  EXPECT_EQ(sealed.size() % 4, 0u);
  EXPECT_EQ(
      sealed.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
      std::string::npos);
  std::optional<std::wstring> opened = OpenCdnReport(sealed);
  ASSERT_TRUE(opened);
  EXPECT_EQ(ParseReportFields(*opened), ParseReportFields(query));
  EXPECT_EQ(*opened, query);
  // One block of eight characters, two of nine; characters beyond the BMP survive.
  for (const auto& [text, length] : {std::pair<std::wstring, size_t>{L"pid=ime&", 24},
                                     {L"pid=ime&t", 44},
                                     {L"x=\U0001F600\u00E9", 24}}) {
    ASSERT_EQ(SealCdnReport(text, &sealed), ReportSealResult::kSealed);
    EXPECT_EQ(sealed.size(), length);
    EXPECT_EQ(OpenCdnReport(sealed), text);
  }
  EXPECT_FALSE(OpenCdnReport(""));
  EXPECT_FALSE(OpenCdnReport("not base64!"));
  EXPECT_FALSE(OpenCdnReport("QUJD")) << "three bytes are no whole block";
}

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
