#include "http/GrowBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

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

unsigned char* GrowBuffer::Release() {
  size = 0;
  capacity = 0;
  return data.release();
}
