// The growable response buffer of a memory download or an upload's answer. Used by one
// thread at a time (the task's driving thread).
//
// The array is allocated with malloc and grown with realloc, so that a large body grows
// without being copied where the C library can move its pages instead (glibc does for blocks
// of 32 MiB and more). Whoever takes it with Release frees it with free.
#ifndef ZVNET_HTTP_GROWBUFFER_H_
#define ZVNET_HTTP_GROWBUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

  // Appends `length` bytes; 0, or -1 with the buffer unchanged when memory ran out.
  int Append(const void* bytes, size_t length);
  // Makes room for `length` more bytes; 0, or -1 (buffer unchanged) when memory ran out. The
  // capacity at least doubles on each growth, so appending costs amortised constant time per
  // byte; it grows no further than `expected` (the whole body's size, 0 when unknown) when
  // that is enough.
  int MakeRoom(size_t length, size_t expected = 0);
  // Makes room for `total` bytes in one allocation when that many are about to come; -1
  // (buffer unchanged) when memory ran out, which only means that MakeRoom grows as usual.
  int Reserve(size_t total);
  // Drops the bytes from `length` on (a retry starts again from there).
  void Truncate(size_t length) { size = std::min(size, length); }

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
  // Hands the array (allocated with malloc) to the caller and leaves the buffer empty.
  unsigned char* Release();

 private:
  struct Free {
    void operator()(unsigned char* block) const { std::free(block); }
  };
  // Gives the array exactly `total` bytes of capacity, keeping its content.
  int Resize(size_t total);
  // Makes the room up to at least `end` present, a few MiB at a time.
  void PrefaultAhead(size_t end);

  std::unique_ptr<unsigned char[], Free> data;
  size_t size = 0;
  size_t capacity = 0;
  size_t prefaulted = 0;  // the room below this offset has been made present
};

#endif  // ZVNET_HTTP_GROWBUFFER_H_
