#include <gtest/gtest.h>

#include "platform/win32/StringConv.h"

TEST(StringConvTest, RoundTripsAllPlanes) {
  const std::wstring text = L"a\u00e9\u4e2d\U0001F600z";
  const std::string utf8 = WideToUtf8(text);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToWide(utf8), text);
  // Invalid input becomes the replacement character.
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xE4\xB8"), L"\uFFFD");  // cut short
  EXPECT_EQ(Utf8ToWide("\xC0\x80"), L"\uFFFD");  // overlong
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  // Text that grows fourfold, after and between ASCII.
  std::wstring wide = L"ab";
  std::string narrow = "ab";
  for (int i = 0; i < 1000; ++i) {
    wide += i % 7 ? L"\U0001F600" : L"x";
    narrow += i % 7 ? "\xF0\x9F\x98\x80" : "x";
  }
  EXPECT_EQ(WideToUtf8(wide), narrow);
  EXPECT_EQ(Utf8ToWide(narrow), wide);
}
