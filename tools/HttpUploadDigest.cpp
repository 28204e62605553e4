#include "tools/HttpUploadDigest.h"

#include <openssl/sha.h>

#include <cstdio>

HttpTestResponse CHttpUploadDigest::operator()(const HttpTestRequest& request) const {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(request.body.data()), request.body.size(), digest);
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
