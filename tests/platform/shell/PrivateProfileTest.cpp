#include "platform/shell/PrivateProfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/win32/StringConv.h"
#include "tests/support/TempFolder.h"

namespace {

class PrivateProfileTest : public testing::Test {
 protected:
  void Write(const std::string& bytes) { folder.Write("profile.ini", bytes); }
  std::optional<std::wstring> Read(const wchar_t* section, const wchar_t* key) {
    return ReadPrivateProfileString(section, key, Utf8ToWide(path));
  }
  UINT ReadInt(const std::string& value, int defaultValue = 77) {
    Write("[S]\nK=" + value + "\n");
    return GetPrivateProfileIntW(L"S", L"K", defaultValue, Utf8ToWide(path).c_str());
  }

  CTempFolder folder;
  const std::string path = folder.Path("profile.ini").string();
};

}  // namespace

TEST_F(PrivateProfileTest, NamesIgnoreCaseAndTheFirstSectionAndKeyWin) {
  Write("TOP=before any section\n[One]\nkey=first\nKEY=second\n[two]\nk=2\n[ONE]\nother=x\n");
  EXPECT_EQ(Read(L"one", L"Key"), L"first");
  EXPECT_EQ(Read(L"TWO", L"K"), L"2");
  EXPECT_EQ(Read(L"One", L"other"), std::nullopt) << "only the first [One] is searched";
  EXPECT_EQ(Read(L"One", L"TOP"), std::nullopt);
  EXPECT_EQ(Read(L"Three", L"k"), std::nullopt);
}

TEST_F(PrivateProfileTest, ValuesAreTrimmedAndUnquotedAndCommentsNameNothing) {
  Write("  [ S ]  \r\n; K=commented\nK\n  K =  \"quoted value\"  \r\nQ='x'\nM=\"unmatched'\n");
  EXPECT_EQ(Read(L"S", L"K"), L"quoted value");
  EXPECT_EQ(Read(L"S", L"Q"), L"x");
  EXPECT_EQ(Read(L"S", L"M"), L"\"unmatched'");
  EXPECT_EQ(Read(L"S", L"; K"), std::nullopt);
}

TEST_F(PrivateProfileTest, ReadsUtf8WithMarkAndUtf16WithMark) {
  Write("\xEF\xBB\xBF[S]\nK=caf\xC3\xA9\n");
  EXPECT_EQ(Read(L"S", L"K"), L"caf\u00E9");
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[S]\r\nK=v\r\n")) utf16 += std::string{c, '\0'};
  Write(utf16);
  EXPECT_EQ(Read(L"S", L"K"), L"v");
}

// A missing file, section or key gives the default; text without digits is 0; only lower-case
// prefixes name a base; only 29 characters are read.
TEST_F(PrivateProfileTest, IntegersFollowTheWindowsRules) {
  ::unlink(path.c_str());
  EXPECT_EQ(GetPrivateProfileIntW(L"S", L"K", 5, Utf8ToWide(path).c_str()), 5u);
  EXPECT_EQ(ReadInt("1", -3), 1u);
  EXPECT_EQ(GetPrivateProfileIntW(L"S", L"X", 5, Utf8ToWide(path).c_str()), 5u);
  EXPECT_EQ(GetPrivateProfileIntW(L"X", L"K", -3, Utf8ToWide(path).c_str()), UINT(-3));
  const std::string zeros(28, '0');
  const std::pair<std::string, UINT> rows[] = {
      {"  +42", 42}, {"-1", 0xFFFFFFFF}, {"0x1F", 31},      {"0X1F", 0},      {"0o17", 15},
      {"0b101", 5},  {"12abc", 12},      {"abc", 0},        {"", 77},         {"\"\"", 77},
      {"\"3\"", 3},  {"4294967298", 2},  {zeros + "01", 0}, {zeros + "1", 1},
  };
  for (const auto& [value, expected] : rows) EXPECT_EQ(ReadInt(value), expected) << value;
}

TEST_F(PrivateProfileTest, LongFilesAreReadWholeUpToTheLimitAndRefusedBeyondIt) {
  const std::string header = "[S]\n; " + std::string(200 * 1024, 'c') + "\n";
  Write(header + "K=at the end\n");
  EXPECT_EQ(Read(L"S", L"K"), L"at the end") << "a key after many read chunks";
  Write(header + std::string((1 << 20) - header.size() - 4, ';') + "\nK=1\n");
  EXPECT_FALSE(Read(L"S", L"K")) << "one byte over the limit is not a profile";
  Write(header + std::string((1 << 20) - header.size() - 5, ';') + "\nK=1\n");
  EXPECT_EQ(Read(L"S", L"K"), L"1") << "exactly at the limit";
}
