#include "http/CdnReportCipher.h"

#include <openssl/evp.h>

#include <climits>
#include <new>

#include "frame/Base64.h"

namespace {

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// AES-256 in ECB mode with padding off gives exactly the blocks of AES_encrypt / AES_decrypt.
bool TransformBlocks(const uint8_t* key, uint8_t* buffer, size_t length, bool encrypt) {
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

const uint8_t* ReportKey() {
  return reinterpret_cast<const uint8_t*>(kCdnReportKey);
}

void AppendUtf16Le(std::u16string& units, wchar_t c) {
  auto code = static_cast<char32_t>(c);
  if (code > 0x10FFFF) code = 0xFFFD;
  if (code < 0x10000) {
    units += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    units += static_cast<char16_t>(0xD800 + (code >> 10));
    units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

}  // namespace

bool PadReportText(std::wstring_view text, ReportBlocks* blocks) {
  std::u16string units;
  for (wchar_t c : text) AppendUtf16Le(units, c);
  const size_t used = units.size() * 2;
  const size_t length = (used + kReportBlockBytes - 1) / kReportBlockBytes * kReportBlockBytes;
  blocks->bytes.reset(new (std::nothrow) uint8_t[length == 0 ? 1 : length]());
  if (!blocks->bytes) return false;
  for (size_t i = 0; i < units.size(); ++i) {
    blocks->bytes[2 * i] = static_cast<uint8_t>(units[i]);
    blocks->bytes[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  blocks->length = length;
  return true;
}

bool EncryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length) {
  return TransformBlocks(key, buffer, length, true);
}

bool DecryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length) {
  return TransformBlocks(key, buffer, length, false);
}

ReportSealResult SealCdnReport(std::wstring_view query, std::string* base64) {
  ReportBlocks blocks;
  if (!PadReportText(query, &blocks)) return ReportSealResult::kNoMemory;
  if (!EncryptReportBlocks(ReportKey(), blocks.bytes.get(), blocks.length)) {
    return ReportSealResult::kCipherFailed;
  }
  if (blocks.length > INT32_MAX / 4) return ReportSealResult::kEncodeFailed;
  const auto count = static_cast<int32_t>(blocks.length);
  int32_t room = Base64EncodedLength(count);
  base64->assign(static_cast<size_t>(room), '\0');
  if (!EncodeBase64(blocks.bytes.get(), count, base64->data(), &room)) {
    base64->clear();
    return ReportSealResult::kEncodeFailed;
  }
  base64->resize(static_cast<size_t>(room));
  return ReportSealResult::kSealed;
}
