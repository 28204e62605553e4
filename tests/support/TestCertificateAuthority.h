// A certificate authority made by the test itself (OpenSSL libcrypto), and the server
// certificates it issues: trusted, expired, or for another host name.
#ifndef ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_
#define ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/HttpTestMessage.h"  // TestTlsIdentity

class CTestCertificateAuthority {
 public:
  // Makes a fresh key pair and self-signed CA certificate, and writes the certificate to a
  // private temporary PEM file that the destructor removes.
  explicit CTestCertificateAuthority(const std::string& commonName = "zvnet test CA");
  ~CTestCertificateAuthority();
  CTestCertificateAuthority(const CTestCertificateAuthority&) = delete;
  CTestCertificateAuthority& operator=(const CTestCertificateAuthority&) = delete;

  // The CA certificate as a PEM file, for a client's list of trusted authorities.
  const std::string& CaFile() const { return caFile; }

  // A server certificate for `names` (host names, or IPv4 addresses given as text), valid
  // from now + notBefore to now + notAfter. Negative offsets give an expired certificate.
  TestTlsIdentity Issue(const std::vector<std::string>& names,
                        std::chrono::seconds notBefore = std::chrono::hours(-1),
                        std::chrono::seconds notAfter = std::chrono::hours(24)) const;

 private:
  struct Keys;
  std::unique_ptr<Keys> keys;
  std::string caFile;
};

#endif  // ZVNET_TESTS_SUPPORT_TESTCERTIFICATEAUTHORITY_H_
