#include "platform/ByteRing.h"

#include <algorithm>
#include <cstring>
#include <new>

bool CByteRing::Write(const void* data, size_t length) {
  if (length > Free()) return false;
  if (length == 0) return true;
  if (!storage) {
    storage.reset(new (std::nothrow) char[capacity]);
    if (!storage) return false;
  }
  const char* in = static_cast<const char*>(data);
  size_t tail = (head + size) % capacity;
  size_t first = std::min(length, capacity - tail);
  std::memcpy(storage.get() + tail, in, first);
  std::memcpy(storage.get(), in + first, length - first);
  size += length;
  return true;
}

size_t CByteRing::Read(void* out, size_t length) {
  size_t n = std::min(length, size);
  if (n == 0) return 0;
  char* to = static_cast<char*>(out);
  size_t first = std::min(n, capacity - head);
  std::memcpy(to, storage.get() + head, first);
  std::memcpy(to + first, storage.get(), n - first);
  head = (head + n) % capacity;
  size -= n;
  if (size == 0) head = 0;
  return n;
}
