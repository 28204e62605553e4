#include "tools/HttpUploadDigest.h"

#ifdef _WIN32
#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>
#else
#include <openssl/sha.h>
#endif

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kDigestBytes = 32;

#ifdef _WIN32
// No OpenSSL in the Windows tree: BCrypt's SHA-256. All zero when it cannot be had.
void Sha256(const std::string& bytes, unsigned char* digest) {
  std::fill(digest, digest + kDigestBytes, 0);
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
    // A failed step leaves the all-zero digest rather than the digest of other bytes.
    unsigned char result[kDigestBytes];
    if (BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                       static_cast<ULONG>(bytes.size()), 0) == 0 &&
        BCryptFinishHash(hash, result, kDigestBytes, 0) == 0) {
      std::copy(result, result + kDigestBytes, digest);
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
}
#else
void Sha256(const std::string& bytes, unsigned char* digest) {
  ::SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
}
#endif

}  // namespace

HttpTestResponse CHttpUploadDigest::operator()(const HttpTestRequest& request) const {
  unsigned char digest[kDigestBytes];
  Sha256(request.body, digest);
  std::string hex;
  char byte[3];
  for (unsigned char b : digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return HttpTestResponse::Text(200, "received " + std::to_string(request.body.size()) +
                                         " bytes, sha256 " + hex + "\n")
      .With("Content-Type", "text/plain");
}
