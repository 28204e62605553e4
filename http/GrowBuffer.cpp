#include "http/GrowBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr size_t kInitialCapacity = 2048;
constexpr size_t kGranule = 1024;
constexpr uintptr_t kHugePage = 2 << 20;

// A body of many megabytes is written once, front to back: huge pages spare the page fault per
// 4 KiB that otherwise costs as much as the copy. Only the 2 MiB-aligned interior is advised;
// the allocator still owns and frees the whole block. A refusal changes nothing.
void AdviseHugePages(unsigned char* block, size_t length) {
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + length) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

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
  }
  std::memcpy(data.get() + size, bytes, length);
  size += length;
  return 0;
}

int GrowBuffer::Reserve(size_t total) {
  if (total <= capacity) return 0;
  // Not zeroed: bytes past `size` are never read, and touching them would cost the pages.
  std::unique_ptr<unsigned char[]> room(new (std::nothrow) unsigned char[total]);
  if (!room) return -1;
  AdviseHugePages(room.get(), total);
  if (size) std::memcpy(room.get(), data.get(), size);
  data = std::move(room);
  capacity = total;
  return 0;
}

unsigned char* GrowBuffer::Release() {
  size = 0;
  capacity = 0;
  return data.release();
}
