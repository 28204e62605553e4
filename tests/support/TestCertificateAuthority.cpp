#include "tests/support/TestCertificateAuthority.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <stdexcept>

namespace {
const std::string kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
}

void CTestCertificateAuthority::Openssl(const std::string& arguments) const {
  const std::string command = "cd " + folder.Root().string() + " && openssl " + arguments;
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("test certificate: " + command);
  }
}

CTestCertificateAuthority::CTestCertificateAuthority(const std::string& commonName) {
  Openssl("req -x509 -days 30 -out ca.pem -subj '/CN=" + commonName + "'" + kNewKey +
          "ca.key -addext basicConstraints=critical,CA:TRUE"
          " -addext keyUsage=critical,keyCertSign,cRLSign");
}

TestTlsIdentity CTestCertificateAuthority::Issue(const std::vector<std::string>& names,
                                                 bool expired) {
  const std::string n = std::to_string(++issued);
  std::string san = "basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n";
  for (size_t i = 0; i < names.size(); ++i) {
    in_addr address;
    san += (i ? "," : "subjectAltName=") +
           std::string(::inet_pton(AF_INET, names[i].c_str(), &address) == 1 ? "IP:" : "DNS:") +
           names[i];
  }
  folder.Write(n + ".ext", san + "\n");
  // -days -1 ends the certificate a day before it starts.
  Openssl("req -new -subj /CN=server" + kNewKey + n + ".key | openssl x509 -req -CA ca.pem" +
          " -CAkey ca.key -extfile " + n + ".ext -out " + n + ".pem -days " +
          (expired ? "-1" : "1"));
  return {folder.Read(n + ".pem"), folder.Read(n + ".key")};
}
