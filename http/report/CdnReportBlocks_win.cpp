// Windows: the report's block cipher on BCrypt, AES in ECB mode (each block on its own, as
// OpenSSL's AES_encrypt gives them on Linux).
#include "platform/win32/WinTypes.h"  // windows.h before bcrypt.h

#include <bcrypt.h>

#include <climits>

#include "http/report/CdnReportCipher.h"

namespace {

class CAlgorithm {
 public:
  CAlgorithm() {
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_AES_ALGORITHM, nullptr, 0)))
      handle = nullptr;
  }
  ~CAlgorithm() {
    if (handle) ::BCryptCloseAlgorithmProvider(handle, 0);
  }
  CAlgorithm(const CAlgorithm&) = delete;
  CAlgorithm& operator=(const CAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE Get() const { return handle; }

 private:
  BCRYPT_ALG_HANDLE handle = nullptr;
};

class CKey {
 public:
  CKey() = default;
  ~CKey() {
    if (handle) ::BCryptDestroyKey(handle);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  BCRYPT_KEY_HANDLE* Out() { return &handle; }
  BCRYPT_KEY_HANDLE Get() const { return handle; }

 private:
  BCRYPT_KEY_HANDLE handle = nullptr;
};

}  // namespace

bool TransformReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length, bool encrypt) {
  if (!key || !buffer || length % kReportBlockBytes != 0 || length > ULONG_MAX) return false;
  CAlgorithm aes;
  if (!aes.Get()) return false;
  auto* mode = const_cast<PUCHAR>(reinterpret_cast<const UCHAR*>(BCRYPT_CHAIN_MODE_ECB));
  if (!BCRYPT_SUCCESS(::BCryptSetProperty(aes.Get(), BCRYPT_CHAINING_MODE, mode,
                                          sizeof BCRYPT_CHAIN_MODE_ECB, 0))) {
    return false;
  }
  // The key object's memory is BCrypt's own (a null buffer); the 32 bytes make AES-256.
  CKey schedule;
  if (!BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(aes.Get(), schedule.Out(), nullptr, 0,
                                                   const_cast<PUCHAR>(key),
                                                   static_cast<ULONG>(kReportKeyBytes), 0))) {
    return false;
  }
  // No padding flag: the length is whole blocks, and BCrypt then works in place.
  ULONG done = 0;
  const auto size = static_cast<ULONG>(length);
  const NTSTATUS status = encrypt ? ::BCryptEncrypt(schedule.Get(), buffer, size, nullptr, nullptr,
                                                    0, buffer, size, &done, 0)
                                  : ::BCryptDecrypt(schedule.Get(), buffer, size, nullptr, nullptr,
                                                    0, buffer, size, &done, 0);
  return BCRYPT_SUCCESS(status) && done == size;
}

bool EncryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length) {
  return TransformReportBlocks(key, buffer, length, true);
}
