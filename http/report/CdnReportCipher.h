// Sealing of the performance report: the query's UTF-16LE bytes, zero-padded to whole 16-byte
// blocks, encrypted block by block with AES-256 under a fixed key (ECB: no chaining, no IV),
// then Base64. The report receiver (tools/) opens it again. Pure functions; any thread.
// The blocks are OpenSSL's on Linux (CdnReportBlocks.cpp), BCrypt's on Windows
// (windows/CdnReportBlocks.cpp): the same bytes either way.
#ifndef ZVNET_HTTP_REPORT_CDNREPORTCIPHER_H_
#define ZVNET_HTTP_REPORT_CDNREPORTCIPHER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t kReportBlockBytes = 16;
inline constexpr size_t kReportKeyBytes = 32;
// The key is these 32 characters, without a terminator.
inline constexpr char kCdnReportKey[kReportKeyBytes + 1] = "QUELM_CDN_63029417-C7A2-51F8-294";

// The padded text. Owns its bytes.
struct ReportBlocks {
  std::unique_ptr<uint8_t[]> bytes;
  size_t length = 0;  // a multiple of kReportBlockBytes
};

// The text's UTF-16LE bytes followed by zero bytes up to the next whole block (none when the
// count already is one). False when the buffer cannot be had.
bool PadReportText(std::wstring_view text, ReportBlocks* blocks);

// Encrypts (or, for the receiver in tools/, decrypts) `length` bytes, a multiple of 16, in
// place, each block on its own. False when `length` is not a multiple of 16 or the cipher
// cannot be set up.
bool TransformReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length, bool encrypt);
bool EncryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length);

enum class ReportSealResult { kSealed, kNoMemory, kCipherFailed, kEncodeFailed };

// The Base64 text (no line breaks) of the encrypted text.
ReportSealResult SealCdnReport(std::wstring_view query, std::string* base64);

#endif  // ZVNET_HTTP_REPORT_CDNREPORTCIPHER_H_
