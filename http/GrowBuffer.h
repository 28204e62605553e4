// The growable response buffer of a memory download or an upload's answer. Used by one
// thread at a time (the task's driving thread).
#ifndef ZVNET_HTTP_GROWBUFFER_H_
#define ZVNET_HTTP_GROWBUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

class GrowBuffer {
 public:
  // 2048 zeroed bytes of capacity, none used (capacity 0 when that allocation failed).
  GrowBuffer();
  // No capacity at all: for a body whose room Reserve makes in one allocation.
  struct Empty {};
  explicit GrowBuffer(Empty) {}
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;

  // Appends `length` bytes; 0, or -1 with the buffer unchanged when memory ran out. The
  // capacity at least doubles on each growth, so appending costs amortised constant time per
  // byte and a large body is copied only a few times.
  int Append(const void* bytes, size_t length);
  // Makes room for `total` bytes in one allocation when the final size is known up front, so
  // a large body is neither copied on growth nor held twice; -1 (buffer unchanged) when memory
  // ran out, which only means that Append grows as usual.
  int Reserve(size_t total);

  // Where `length` more bytes can be written in place without growing; null when they do not
  // fit. Commit counts bytes written there as used.
  unsigned char* Tail(size_t length) {
    if (capacity - size < length) return nullptr;
    if (size + length > prefaulted) PrefaultAhead(size + length);
    return data.get() + size;
  }
  void Commit(size_t length) { size += std::min(length, capacity - size); }

  const unsigned char* Data() const { return data.get(); }
  size_t Size() const { return size; }
  size_t Capacity() const { return capacity; }
  // Hands the array (allocated with new[]) to the caller and leaves the buffer empty.
  unsigned char* Release();

 private:
  // Makes the room up to at least `end` present, a few MiB at a time.
  void PrefaultAhead(size_t end);

  std::unique_ptr<unsigned char[]> data;
  size_t size = 0;
  size_t capacity = 0;
  size_t prefaulted = 0;  // the room below this offset has been made present
};

#endif  // ZVNET_HTTP_GROWBUFFER_H_
