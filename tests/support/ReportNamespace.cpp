#include "tests/support/ReportNamespace.h"

#include <map>
#include <string>

std::unique_ptr<CNetNamespace> CReportNamespace::ns;

void CReportNamespace::SetUp() {
  ns = std::make_unique<CNetNamespace>();
}

void CReportNamespace::TearDown() {
  ns.reset();
}

const CNetNamespace& CReportNamespace::Get() {
  return *ns;
}

bool CReportNamespace::RunInside(const std::function<void()>& body) {
  static const std::map<std::string, std::string> files = {
      {"/etc/hosts", "127.0.0.1 localhost\n"},
      {"/etc/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.3\noptions timeout:1\n"}};
  return ns->RunOnThread(body, files);
}
