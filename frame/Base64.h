// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#ifndef ZVNET_FRAME_BASE64_H_
#define ZVNET_FRAME_BASE64_H_

#include <cstdint>

// Characters EncodeBase64 writes for `count` bytes. Throws CFailureException(E_FAIL) when
// 4 * count exceeds INT32_MAX.
int32_t Base64EncodedLength(int32_t count);

// Writes the text of `source` into `target`, without a terminating zero. `*targetLength` is
// the room on entry and the characters written on return. False, writing nothing, for null
// pointers or too little room.
bool EncodeBase64(const uint8_t* source, int32_t count, char* target, int32_t* targetLength);

#endif  // ZVNET_FRAME_BASE64_H_
