#include "tests/support/NetSysctl.h"

#include <fstream>

bool SetNetSysctl(const CNetNamespace& ns, const std::string& key, const std::string& value) {
  bool written = false;
  // /proc/sys/net shows the namespace of the thread that opens it.
  ns.RunOnThread([&] {
    std::ofstream out("/proc/sys/" + key);
    out << value;
    out.flush();
    written = out.good();
  });
  return written;
}
