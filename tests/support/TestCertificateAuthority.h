// A certificate authority made by the test with the openssl command in a private folder, and
// the server certificates it issues: trusted, expired, or for another host name.
#ifndef ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_
#define ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_

#include <string>
#include <vector>

#include "tests/support/TempFolder.h"
#include "tools/HttpTestMessage.h"  // TestTlsIdentity

class CTestCertificateAuthority {
 public:
  explicit CTestCertificateAuthority(const std::string& commonName = "zvnet test CA");

  // The CA certificate as a PEM file, for a client's list of trusted authorities.
  std::string CaFile() const { return folder.Path("ca.pem").string(); }
  // A server certificate for host names or IPv4 addresses; an expired one ended a day ago.
  TestTlsIdentity Issue(const std::vector<std::string>& names, bool expired = false);

 private:
  void Openssl(const std::string& arguments) const;

  CTempFolder folder;
  int issued = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_
