#include "platform/wininet/ByteRing_linux.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// One small answer fits. Blocks of 64 KiB and more make glibc trim its heap when they are
// freed, which costs a page-table flush on every core; an answer a request at a time must not.
constexpr size_t kInitialStorage = 16 * 1024;

}  // namespace

bool CByteRing::Reserve(size_t needed) {
  if (needed <= allocated) return true;
  size_t grown = std::max(kInitialStorage, allocated);
  while (grown < needed) grown *= 2;
  grown = std::min(grown, capacity);
  std::unique_ptr<char[]> bigger(new (std::nothrow) char[grown]);
  if (!bigger) return false;
  const size_t kept = size;
  if (kept > 0) Read(bigger.get(), kept);  // the waiting bytes move to the front
  storage = std::move(bigger);
  allocated = grown;
  head = 0;
  size = kept;
  return true;
}

bool CByteRing::Write(const void* data, size_t length) {
  if (length > Free()) return false;
  if (length == 0) return true;
  if (!Reserve(size + length)) return false;
  const char* in = static_cast<const char*>(data);
  size_t tail = (head + size) % allocated;
  size_t first = std::min(length, allocated - tail);
  std::memcpy(storage.get() + tail, in, first);
  std::memcpy(storage.get(), in + first, length - first);
  size += length;
  return true;
}

size_t CByteRing::Read(void* out, size_t length) {
  size_t n = std::min(length, size);
  if (n == 0) return 0;
  char* to = static_cast<char*>(out);
  size_t first = std::min(n, allocated - head);
  std::memcpy(to, storage.get() + head, first);
  std::memcpy(to + first, storage.get(), n - first);
  head = (head + n) % allocated;
  size -= n;
  if (size == 0) head = 0;
  return n;
}
