#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "frame/DataFolder.h"
#include "platform/win32/StringConv.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

// The variables the data folder depends on, cleared for each test and restored after it.
class DataFolderTest : public testing::Test {
 protected:
  static void Set(const char* name, const fs::path& value) { ::setenv(name, value.c_str(), 1); }
  static std::string Folder() {
    wchar_t buffer[kDataFolderChars];
    GetDataFolder(buffer);
    return WideToUtf8(buffer);
  }
  static void WriteConfig(const std::string& text) {
    std::ofstream(WideToUtf8(GetConfigFilePath())) << text;
  }

  CScopedEnv appData{"ZVNET_APPDATA", std::nullopt};
  CScopedEnv xdgData{"XDG_DATA_HOME", std::nullopt};
  CScopedEnv xdgConfig{"XDG_CONFIG_HOME", std::nullopt};
  CScopedEnv home{"HOME", std::nullopt};
  CTempFolder folder;
  const fs::path& root = folder.Root();
};

}  // namespace

// The folder the variables name (under the test's folder; "./" values as they are) is made.
// The registry value is used verbatim; a relative XDG value, or a file where a folder should
// be, passes to the next choice.
TEST_F(DataFolderTest, TheFirstUsableFolderTheVariablesNameIsMade) {
  fs::create_directories(root / "blocked");
  std::ofstream(root / "blocked" / ".local") << "a file where a folder should be";
  const struct {
    const char *appData, *xdgData, *xdgConfig, *home, *expected;
  } rows[] = {
      {"custom/deeper", "unmade", "", "", "custom/deeper"},
      {"", "data", "", "home", "data/Zarvo/ZarvoInput"},
      {"", "", "", "home", "home/.local/share/Zarvo/ZarvoInput"},
      {"", "./relative/data", "", "home", "home/.local/share/Zarvo/ZarvoInput"},
      {"", "", "config", "blocked", "config/Zarvo/ZarvoInput"},
  };
  for (const auto& row : rows) {
    for (const auto& [name, value] : {std::pair{"ZVNET_APPDATA", row.appData},
                                      {"XDG_DATA_HOME", row.xdgData},
                                      {"XDG_CONFIG_HOME", row.xdgConfig},
                                      {"HOME", row.home}}) {
      if (!*value) ::unsetenv(name);
      if (*value) ::setenv(name, *value == '.' ? value : (root / value).c_str(), 1);
    }
    EXPECT_EQ(Folder(), (root / row.expected).string());
    EXPECT_TRUE(fs::is_directory(root / row.expected)) << row.expected;
  }
  EXPECT_FALSE(fs::exists(root / "unmade"));
}

TEST_F(DataFolderTest, LongRegistryValueIsReadWholeAndCutOnlyInTheBuffer) {
  fs::path longFolder = root;
  for (int i = 0; i < 8; ++i) longFolder /= std::string(200, static_cast<char>('a' + i));
  Set("ZVNET_APPDATA", longFolder);
  ASSERT_GT(longFolder.string().size(), 1024u);

  EXPECT_EQ(WideToUtf8(ReadDataFolderFromRegistry()), longFolder.string());
  EXPECT_EQ(WideToUtf8(FindDataFolder()), longFolder.string());
  EXPECT_TRUE(fs::is_directory(longFolder));

  wchar_t buffer[kDataFolderChars + 1];
  buffer[kDataFolderChars] = L'#';
  GetDataFolder(buffer);
  EXPECT_EQ(WideToUtf8(buffer), longFolder.string().substr(0, kDataFolderChars - 1));
  EXPECT_EQ(buffer[kDataFolderChars], L'#');
}

TEST_F(DataFolderTest, WithoutAnyFolderTheBufferIsEmptyAndReportsAreOff) {
  wchar_t buffer[kDataFolderChars];
  buffer[0] = L'x';
  GetDataFolder(buffer);
  EXPECT_EQ(buffer[0], L'\0');
  EXPECT_TRUE(GetConfigFilePath().empty());
  EXPECT_FALSE(ReadReportSwitch());
  GetDataFolder(nullptr);  // allowed
}

TEST_F(DataFolderTest, OnlyTheValueOneTurnsReportsOn) {
  Set("ZVNET_APPDATA", root);
  EXPECT_EQ(WideToUtf8(GetConfigFilePath()), (root / "config.ini").string());
  EXPECT_FALSE(ReadReportSwitch()) << "no file";

  const std::map<std::string, bool> cases = {
      {"[CFG]\nREPORT=1\n", true},          {"[CFG]\nREPORT=2\n", false},
      {"[CFG]\nREPORT=-1\n", false},        {"[CFG]\nOTHER=1\n", false},
      {"[OTHER]\nREPORT=1\n", false},       {"[cfg]\r\n  report = 1 \r\n", true},
      {"[CFG]\nREPORT=0x1\n", true},        {"[CFG]\nREPORT=1 ; on\n", true},
      {"[CFG]\nREPORT=on\n", false},        {"[CFG]\nREPORT=\n", false},
      {"[CFG]\nREPORT=4294967297\n", true},  // 32-bit wrap-around, as Windows reads it
  };
  for (const auto& [text, on] : cases) {
    WriteConfig(text);
    EXPECT_EQ(ReadReportSwitch(), on) << text;
  }
}

// The switch is kept for the life of the process: each case runs in a fresh child process.
TEST_F(DataFolderTest, SwitchIsReadOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Set("ZVNET_APPDATA", root);
  auto firstAnswerStays = [this](const std::string& first, const std::string& second) {
    WriteConfig(first);
    bool answer = IsReportEnabled();
    WriteConfig(second);
    bool stays = IsReportEnabled() == answer && ReadReportSwitch() != answer;
    std::error_code ignored;
    fs::remove_all(root, ignored);  // the child's own folder; TearDown does not run here
    std::exit(stays ? (answer ? 1 : 0) : 2);
  };
  EXPECT_EXIT(firstAnswerStays("[CFG]\nREPORT=1\n", "[CFG]\nREPORT=0\n"),
              testing::ExitedWithCode(1), "");
  EXPECT_EXIT(firstAnswerStays("[CFG]\nREPORT=0\n", "[CFG]\nREPORT=1\n"),
              testing::ExitedWithCode(0), "");
}
