#include "frame/Base64.h"

#include <cstdint>

#include "frame/FailureException.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

int32_t Base64EncodedLength(int32_t count) {
  if (static_cast<int64_t>(count) * 4 > INT32_MAX) throw CFailureException(E_FAIL);
  if (count <= 0) return 0;
  return (count + 2) / 3 * 4;
}

bool EncodeBase64(const uint8_t* source, int32_t count, char* target, int32_t* targetLength) {
  if (!source || !target || !targetLength || count < 0) return false;
  const int32_t needed = Base64EncodedLength(count);
  if (*targetLength < needed) return false;
  char* out = target;
  int32_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const uint32_t group = (source[i] << 16) | (source[i + 1] << 8) | source[i + 2];
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = kAlphabet[(group >> 6) & 0x3F];
    *out++ = kAlphabet[group & 0x3F];
  }
  const int32_t rest = count - i;
  if (rest > 0) {
    const uint32_t group = (source[i] << 16) | (rest == 2 ? source[i + 1] << 8 : 0);
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    *out++ = '=';
  }
  *targetLength = static_cast<int32_t>(out - target);
  return true;
}
