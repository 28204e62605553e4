#include "tests/examples/fcitx5/FcitxThread.h"

#include <fcitx-utils/key.h>
#include <fcitx/addonmanager.h>
#include <fcitx/event.h>
#include <fcitx/inputcontextmanager.h>
#include <fcitx/inputmethodengine.h>
#include <fcitx/inputmethodgroup.h>
#include <fcitx/inputmethodmanager.h>
#include <stdlib.h>

#include "tests/support/Pump.h"

void CFcitxThread::UseFolders(const std::string& home) {
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  setenv("XDG_DATA_DIRS", ZVCLOUD_STAGE "/share", 1);
  setenv("FCITX_ADDON_DIRS", ZVCLOUD_STAGE "/lib", 1);
}

CFcitxThread::CFcitxThread() : thread([this] { Main(); }) {
  running = started.get_future().get();
}

CFcitxThread::~CFcitxThread() {
  if (running) {
    Run([this] {
      ic.reset();
      instance->exit();
      return 0;
    });
  }
  thread.join();
}

void CFcitxThread::Main() {
  char arg0[] = "zvcloud-test";
  char arg1[] = "--disable=all";
  char arg2[] = "--enable=zvcloud";
  char* argv[] = {arg0, arg1, arg2};
  fcitx::Instance fcitx(3, argv);
  fcitx.addonManager().registerDefaultLoader(nullptr);
  instance = &fcitx;
  dispatcher.attach(&fcitx.eventLoop());
  dispatcher.schedule([this] {
    fcitx::InputMethodGroup group = instance->inputMethodManager().currentGroup();
    group.inputMethodList().clear();
    group.inputMethodList().emplace_back("zvcloud");
    group.setDefaultInputMethod("zvcloud");
    instance->inputMethodManager().setGroup(std::move(group));
    ic = std::make_unique<CRecordingInputContext>(instance->inputContextManager());
    ic->focusIn();
    started.set_value(true);
  });
  fcitx.exec();
  dispatcher.detach();
  ic.reset();
  if (!running) started.set_value(false);
}

bool CFcitxThread::WaitFor(const std::function<bool(CRecordingInputContext&)>& condition,
                           std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return Run([&] { return condition(*ic); }); }, deadline);
}

bool CFcitxThread::TypeHere(const std::string& key) {
  return TypeHere(fcitx::Key(key));
}

bool CFcitxThread::TypeHere(const fcitx::Key& key) {
  fcitx::KeyEvent press(ic.get(), key);
  const bool taken = ic->keyEvent(press);
  fcitx::KeyEvent release(ic.get(), key, true);
  ic->keyEvent(release);
  return taken;
}

bool CFcitxThread::Type(const std::vector<std::string>& keys) {
  return Run([&] {
    bool taken = true;
    for (const std::string& key : keys) taken = TypeHere(key) && taken;
    return taken;
  });
}

std::vector<std::string> CFcitxThread::Candidates() {
  return Run([&] { return ic->Candidates(); });
}

std::vector<std::string> CFcitxThread::Commits() {
  return Run([&] { return ic->commits; });
}

std::vector<std::vector<std::string>> CFcitxThread::Shown() {
  return Run([&] { return ic->shown; });
}

std::string CFcitxThread::InputMethod() {
  return Run([&] { return instance->inputMethod(ic.get()); });
}

std::string CFcitxThread::SubModeLabel() {
  return Run([&] {
    return instance->inputMethodEngine("zvcloud")->subModeLabel(
        *instance->inputMethodEntry(ic.get()), *ic);
  });
}
