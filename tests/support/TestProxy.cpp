#include "tests/support/TestProxy.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/LoopbackPort.h"
#include "tests/support/Pump.h"

extern char** environ;

std::unique_ptr<CTestProxy> CTestProxy::Start(bool http, const std::string& user,
                                              const std::string& password) {
  // The port is picked before the proxy binds it; another process may take it meanwhile,
  // so a start that does not come up is tried again on a new port.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::unique_ptr<CTestProxy> proxy(new CTestProxy);
    proxy->http = http;
    proxy->port = FreeLoopbackPort();
    const std::string at = proxy->folder.Root().string() + "/", port = std::to_string(proxy->port);
    proxy->folder.Write("tinyproxy.conf",
                        "Port " + port + "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" + at +
                            "proxy.log\"\nLogLevel Info\n" +
                            (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n"));
    // The shell gives its pid to the proxy it becomes.
    const std::string command =
        (http ? "exec tinyproxy -d -c " + at + "tinyproxy.conf"
              : "exec microsocks -i 127.0.0.1 -p " + port +
                    (user.empty() ? "" : " -u " + user + " -P " + password)) +
        " </dev/null >" + at + "output.log 2>&1";
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (::posix_spawnp(&proxy->pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ)) {
      proxy->pid = -1;
    }
    // Settled when it listens, or when it ended: the port was taken, or it refused its setup.
    const bool settled = WaitUntil([&] {
      if (proxy->pid > 0 && ::waitpid(proxy->pid, nullptr, WNOHANG) == proxy->pid) proxy->pid = -1;
      return proxy->pid < 0 || LoopbackAccepts(proxy->port);
    });
    if (settled && proxy->pid > 0) return proxy;
  }
  return nullptr;
}

CTestProxy::~CTestProxy() {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 5s)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}
