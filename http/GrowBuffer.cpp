#include "http/GrowBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/win32/Prefault.h"

namespace {

constexpr size_t kInitialCapacity = 2048;
constexpr size_t kGranule = 1024;

}  // namespace

GrowBuffer::GrowBuffer() : data(new (std::nothrow) unsigned char[kInitialCapacity]()) {
  if (data) capacity = kInitialCapacity;
}

int GrowBuffer::Append(const void* bytes, size_t length) {
  if (length == 0) return 0;
  if (length > capacity - size) {
    if (length > SIZE_MAX / 2 - size) return -1;
    size_t wanted = size + length;
    size_t grown = capacity > SIZE_MAX / 4 ? wanted : capacity * 2;
    size_t target = (std::max(wanted, grown) / kGranule + 1) * kGranule;
    std::unique_ptr<unsigned char[]> bigger(new (std::nothrow) unsigned char[target]);
    if (!bigger) return -1;
    if (size) std::memcpy(bigger.get(), data.get(), size);
    std::memset(bigger.get() + size, 0, target - size);
    data = std::move(bigger);
    capacity = target;
    prefaulted = target;  // zeroed above
  } else if (size + length > prefaulted) {
    PrefaultAhead(size + length);
  }
  std::memcpy(data.get() + size, bytes, length);
  size += length;
  return 0;
}

int GrowBuffer::Reserve(size_t total) {
  if (total <= capacity) return 0;
  // Not zeroed: bytes past `size` are never read, and touching them would cost the pages.
  // No huge-page advice either: where free huge pages are scarce the kernel compacts memory
  // on the fault, and a 256 MiB body then took up to 1.1 s instead of 0.37 s.
  std::unique_ptr<unsigned char[]> room(new (std::nothrow) unsigned char[total]);
  if (!room) return -1;
  if (size) std::memcpy(room.get(), data.get(), size);
  data = std::move(room);
  capacity = total;
  prefaulted = size;
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
