#include "http/GrowBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/win32/HugePages.h"

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
