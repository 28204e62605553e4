// This program does not link the logging library: each test loads what it needs itself.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "frame/Log.h"
#include "frame/LogBridge.h"

TEST(LogBridgeTest, SilentUntilTheHostLoadsTheLibraryThenBinds) {
  char path[] = "/tmp/zvnet-bridge-XXXXXX";
  ::close(::mkstemp(path));
  ::setenv("ZVXLOG_FILE", path, 1);
  ::setenv("ZVXLOG_LEVEL", "0", 1);
  WriteLog(LOG_FAIL, L"before load %d", 1);
  EXPECT_EQ(CLogBridge::Get()->Bind(), E_FAIL) << "bound without the library loaded";
  EXPECT_EQ(::dlerror(), nullptr) << "the failed lookup left its error on the thread";

  void* handle = ::dlopen(ZVXLOG_PATH, RTLD_NOW);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  WriteLog(LOG_FAIL, L"after load %d", 2);
  WriteLogTagged(LOG_TRACE, L"302", L"tagged %s", L"text");
  EXPECT_EQ(CLogBridge::Get()->Bind(), S_FALSE) << "second bind must find it bound";
  std::ifstream file(path);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  EXPECT_EQ(text.find("before load"), std::string::npos);
  EXPECT_NE(text.find("after load 2"), std::string::npos) << text;
  EXPECT_NE(text.find("[302] tagged text"), std::string::npos) << text;
  ::unlink(path);
}

TEST(LogBridgeTest, LibraryWithoutXLogVBindsOnceAndNeverLogs) {
  CLogBridge::SetModuleNameForTesting("libzvxlog_without_xlogv.so");
  void* handle = ::dlopen(NOXLOGV_PATH, RTLD_NOW);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  WriteLog(LOG_FAIL, L"goes nowhere");
  EXPECT_EQ(CLogBridge::Get()->Bind(), S_FALSE);
}
