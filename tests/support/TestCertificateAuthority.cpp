#include "tests/support/TestCertificateAuthority.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

PkeyPtr MakeKey() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "key generation");
  return key;
}

// The PEM text that `write` puts into a memory BIO.
template <typename Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new(BIO_s_mem()));
  Require(write(bio.get()) == 1, "PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Require(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509Ptr MakeCert(const std::string& commonName, EVP_PKEY* key, std::chrono::seconds notBefore,
                 std::chrono::seconds notAfter) {
  X509Ptr cert(X509_new());
  Require(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(notBefore.count()));
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(notAfter.count()));
  X509_set_pubkey(cert.get(), key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

}  // namespace

struct CTestCertificateAuthority::Keys {
  PkeyPtr key;
  X509Ptr cert;
};

CTestCertificateAuthority::CTestCertificateAuthority(const std::string& commonName)
    : keys(std::make_unique<Keys>()) {
  keys->key = MakeKey();
  keys->cert =
      MakeCert(commonName, keys->key.get(), std::chrono::hours(-24), std::chrono::hours(24 * 30));
  X509* cert = keys->cert.get();
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, cert, NID_subject_key_identifier, "hash");
  Require(X509_sign(cert, keys->key.get(), EVP_sha256()) > 0, "CA signature");
  char name[] = "/tmp/zvnet-test-ca-XXXXXX";
  const int fd = ::mkstemp(name);
  Require(fd >= 0, "CA file");
  ::close(fd);
  caFile = name;
  std::ofstream(caFile, std::ios::binary)
      << Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
}

CTestCertificateAuthority::~CTestCertificateAuthority() {
  ::unlink(caFile.c_str());
}

TestTlsIdentity CTestCertificateAuthority::Issue(const std::vector<std::string>& names,
                                                 std::chrono::seconds notBefore,
                                                 std::chrono::seconds notAfter) const {
  PkeyPtr key = MakeKey();
  X509Ptr cert = MakeCert(names.empty() ? "server" : names.front(), key.get(), notBefore, notAfter);
  X509* ca = keys->cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca));
  AddExtension(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), ca, NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), ca, NID_authority_key_identifier, "keyid:always");
  std::string san;
  for (const std::string& n : names) {
    in_addr address;
    san += (san.empty() ? "" : ",") +
           std::string(::inet_pton(AF_INET, n.c_str(), &address) == 1 ? "IP:" : "DNS:") + n;
  }
  if (!san.empty()) AddExtension(cert.get(), ca, NID_subject_alt_name, san);
  Require(X509_sign(cert.get(), keys->key.get(), EVP_sha256()) > 0, "server signature");
  return {Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); }), Pem([&](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          })};
}
