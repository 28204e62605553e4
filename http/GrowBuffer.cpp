#include "http/GrowBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/win32/Prefault.h"

namespace {

constexpr size_t kInitialCapacity = 2048;
constexpr size_t kGranule = 1024;

}  // namespace

GrowBuffer::GrowBuffer() : data(static_cast<unsigned char*>(std::calloc(kInitialCapacity, 1))) {
  if (data) capacity = kInitialCapacity;
}

int GrowBuffer::Append(const void* bytes, size_t length) {
  if (length == 0) return 0;
  if (MakeRoom(length) != 0) return -1;
  if (size + length > prefaulted) PrefaultAhead(size + length);
  std::memcpy(data.get() + size, bytes, length);
  size += length;
  return 0;
}

int GrowBuffer::MakeRoom(size_t length, size_t expected) {
  if (length <= capacity - size) return 0;
  if (length > SIZE_MAX / 2 - size) return -1;
  const size_t wanted = size + length;
  const size_t doubled = capacity > SIZE_MAX / 4 ? wanted : capacity * 2;
  size_t target = (std::max(wanted, doubled) / kGranule + 1) * kGranule;
  if (expected >= wanted) target = std::min(target, expected);
  return Resize(target);
}

int GrowBuffer::Reserve(size_t total) {
  return total <= capacity ? 0 : Resize(total);
}

int GrowBuffer::Resize(size_t total) {
  // Not zeroed: bytes past `size` are never read, and touching them would cost the pages.
  // No huge-page advice either: where free huge pages are scarce the kernel compacts memory
  // on the fault, and a 256 MiB body then took up to 1.1 s instead of 0.37 s.
  auto* grown = static_cast<unsigned char*>(std::realloc(data.get(), total));
  if (!grown) return -1;
  (void)data.release();  // realloc freed or kept it
  data.reset(grown);
  capacity = total;
  // Pages that moved stay present, but a copy makes only the used bytes present.
  prefaulted = std::min(prefaulted, size);
  return 0;
}

void GrowBuffer::PrefaultAhead(size_t end) {
  // Only room that was reserved large is worth it; small bodies fault in a page or two.
  constexpr size_t kStep = 4 << 20;
  if (capacity < kStep) {
    prefaulted = capacity;
    return;
  }
  const size_t from = std::max(prefaulted, size);
  const size_t to = std::min(capacity, std::max(end, from + kStep));
  PrefaultForWrite(data.get() + from, to - from);
  prefaulted = to;
}

unsigned char* GrowBuffer::Release() {
  size = 0;
  capacity = 0;
  prefaulted = 0;
  return data.release();
}
