// The message loop and the logging library of the Windows build: there is no wait descriptor,
// Pump leaves WM_QUIT to the host's loop, and once the host has loaded zvxlog.dll the library's
// lines reach it, formats read with Windows meanings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "zvnet/zvmsgloop.h"
#include "zvnet/zvudp.h"
#include "zvxlog.h"

TEST(MsgLoopWindowsTest, NoWaitDescriptorAndQuitStaysForTheHost) {
  EXPECT_EQ(ZvMsgLoop::GetWaitFd(), -1);
  ::PostQuitMessage(7);
  ZvMsgLoop::Pump(0);
  ZvMsgLoop::DispatchPending();
  MSG msg;
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
}

TEST(MsgLoopWindowsTest, LinesReachTheLoggingLibraryOnceTheHostLoadedIt) {
  wchar_t folder[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring path = std::wstring(folder) + L"zvnet-windows-test.log";
  ::DeleteFileW(path.c_str());
  // The library's first output is the file the environment names, a name beyond ASCII.
  const std::wstring named = std::wstring(folder) + L"zvnet-windows-test-\u00e9.log";
  ::DeleteFileW(named.c_str());
  ASSERT_EQ(::_wputenv_s(L"ZVXLOG_FILE", named.c_str()), 0);
  HMODULE xlog = ::LoadLibraryW(L"zvxlog.dll");
  ASSERT_NE(xlog, nullptr);
  auto setOutput = reinterpret_cast<decltype(&XLogSetOutput)>(
      reinterpret_cast<void*>(::GetProcAddress(xlog, "XLogSetOutput")));
  auto setLevel = reinterpret_cast<decltype(&XLogSetLevel)>(
      reinterpret_cast<void*>(::GetProcAddress(xlog, "XLogSetLevel")));
  auto log =
      reinterpret_cast<decltype(&XLog)>(reinterpret_cast<void*>(::GetProcAddress(xlog, "XLog")));
  ASSERT_TRUE(setOutput && setLevel && log);
  log(32, L"tag", L"from the environment");
  ::_wputenv_s(L"ZVXLOG_FILE", L"");
  char narrowPath[MAX_PATH];
  ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, narrowPath, MAX_PATH, nullptr, nullptr);
  ASSERT_EQ(setOutput(narrowPath), 0);
  {
    std::ifstream first(std::filesystem::path(named), std::ios::binary);
    std::stringstream text;
    text << first.rdbuf();
    EXPECT_NE(text.str().find("EVENT [tag] from the environment"), std::string::npos);
  }
  ::DeleteFileW(named.c_str());
  setLevel(16);

  ZvUdp::Init();
  ZvUdp::Uninit();
  log(32, L"tag", L"wide %s, narrow %S, number %d", L"\u00e9t\u00e9", "ascii", 42);
  // Longer than the first formatting buffer: the whole line, nothing after it.
  const std::wstring longText(1000, L'x');
  log(32, L"tag", L"long [%s]", longText.c_str());
  setOutput(nullptr);
  setLevel(32);

  std::ifstream file(narrowPath, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("TRACE ZvUdp::Init for 1 times"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("EVENT [tag] wide \xc3\xa9t\xc3\xa9, narrow ascii, number 42"),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("EVENT [tag] long [" + std::string(1000, 'x') + "]\n"),
            std::string::npos)
      << text.str();
}
