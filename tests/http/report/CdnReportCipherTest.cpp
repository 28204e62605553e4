#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/report/CdnReportCipher.h"
#include "tests/http/report/ReportFields.h"
#include "tools/CdnReportReceiver.h"

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
