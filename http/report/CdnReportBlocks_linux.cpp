// The report's block cipher on OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "http/report/CdnReportCipher.h"

namespace {

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

}  // namespace

// AES-256 in ECB mode with padding off gives exactly the blocks of AES_encrypt / AES_decrypt.
bool TransformReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length, bool encrypt) {
  if (!key || !buffer || length % kReportBlockBytes != 0 || length > INT_MAX) return false;
  CipherContextPtr context(EVP_CIPHER_CTX_new());
  if (!context ||
      EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
    return false;
  }
  int written = 0;
  int finalWritten = 0;
  return EVP_CipherUpdate(context.get(), buffer, &written, buffer, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(context.get(), buffer + written, &finalWritten) == 1 &&
         static_cast<size_t>(written + finalWritten) == length;
}

bool EncryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length) {
  return TransformReportBlocks(key, buffer, length, true);
}
