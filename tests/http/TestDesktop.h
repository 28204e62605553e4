// A GNOME desktop's proxy settings for the test process, started by the test: GSettings'
// keyfile backend in a private folder (GSETTINGS_BACKEND, XDG_CONFIG_HOME), the desktop named
// GNOME (XDG_CURRENT_DESKTOP), and a private D-Bus session bus from which GLib's PAC runner is
// started on demand. Settings change through the `gsettings` command, as a user's settings
// program changes them, while the process runs.
//
// Make it before anything in the process reads proxy settings (GIO chooses its resolver
// once); its environment stays until the object goes, and the destructor stops the bus (by
// its pid), first telling GLib not to end the process with it. One at a time, on the test's
// main thread.
#ifndef ZVNET_TESTS_HTTP_TESTDESKTOP_H_
#define ZVNET_TESTS_HTTP_TESTDESKTOP_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"

class CTestDesktop {
 public:
  // Null when the bus could not be started.
  static std::unique_ptr<CTestDesktop> Start();
  ~CTestDesktop();
  CTestDesktop(const CTestDesktop&) = delete;
  CTestDesktop& operator=(const CTestDesktop&) = delete;

  // `gsettings set org.gnome.system.proxy[.<group>] <key> <value>`, the value in GVariant
  // text ("'manual'", "3128", "['localhost']"); with nullopt, `gsettings reset`. True when
  // the command succeeded.
  bool Set(const std::string& group, const std::string& key,
           const std::optional<std::string>& value);
  // Every proxy setting back to its default (`gsettings reset-recursively`).
  bool ResetAll();

 private:
  CTestDesktop() = default;

  CTempFolder folder;
  std::vector<std::unique_ptr<CScopedEnv>> environment;
  pid_t bus = -1;
};

#endif  // ZVNET_TESTS_HTTP_TESTDESKTOP_H_
