#include "http/report/CdnReportCipher.h"

#include <cstdint>
#include <new>

#include "frame/Base64.h"

namespace {

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
