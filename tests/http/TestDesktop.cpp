#include "tests/http/TestDesktop.h"

#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Pump.h"

extern char** environ;

namespace {

// Runs a program with the process's environment and waits for it; true when it exits with 0.
bool Run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::unique_ptr<CTestDesktop> CTestDesktop::Start() {
  std::unique_ptr<CTestDesktop> desktop(new CTestDesktop);
  const std::string root = desktop->folder.Root().string();
  auto set = [&](const char* name, const std::string& value) {
    desktop->environment.push_back(std::make_unique<CScopedEnv>(name, value));
  };
  set("GSETTINGS_BACKEND", "keyfile");
  set("XDG_CONFIG_HOME", root + "/config");
  set("XDG_CURRENT_DESKTOP", "GNOME");
  // The bus writes its address into a file once it listens, as dbus-run-session has it do.
  const std::string command =
      "exec dbus-daemon --session --nofork --nopidfile --print-address=1 "
      "</dev/null >" +
      root + "/bus.address 2>" + root + "/bus.log";
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  if (::posix_spawnp(&desktop->bus, "sh", nullptr, nullptr, const_cast<char**>(argv), environ)) {
    desktop->bus = -1;
    return nullptr;
  }
  std::string address;
  const bool listening = WaitUntil([&] {
    address = desktop->folder.Read("bus.address");
    return address.find('\n') != std::string::npos;
  });
  if (!listening) return nullptr;
  set("DBUS_SESSION_BUS_ADDRESS", address.substr(0, address.find('\n')));
  return desktop;
}

CTestDesktop::~CTestDesktop() {
  if (bus <= 0) return;
  // GLib ends a process whose session bus goes away (SIGTERM); this bus goes first.
  if (GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    g_object_unref(connection);
  }
  ::kill(bus, SIGTERM);
  if (!WaitUntil([&] { return ::waitpid(bus, nullptr, WNOHANG) == bus; }, 5s)) {
    ::kill(bus, SIGKILL);
    ::waitpid(bus, nullptr, 0);
  }
}

bool CTestDesktop::ResetAll() {
  return Run({"gsettings", "reset-recursively", "org.gnome.system.proxy"});
}

bool CTestDesktop::Set(const std::string& group, const std::string& key,
                       const std::optional<std::string>& value) {
  const std::string schema = "org.gnome.system.proxy" + (group.empty() ? "" : "." + group);
  if (!value) return Run({"gsettings", "reset", schema, key});
  return Run({"gsettings", "set", schema, key, *value});
}
