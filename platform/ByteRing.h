// A fixed-size ring of bytes: the bounded buffer between the stand-in's engine thread and a
// request's reader or writer. Not thread-safe itself; its owner's lock guards it. The storage
// is allocated on first use, once.
#ifndef ZVNET_PLATFORM_BYTERING_H_
#define ZVNET_PLATFORM_BYTERING_H_

#include <cstddef>
#include <memory>

class CByteRing {
 public:
  explicit CByteRing(size_t capacity) : capacity(capacity) {}
  CByteRing(const CByteRing&) = delete;
  CByteRing& operator=(const CByteRing&) = delete;

  size_t Size() const { return size; }
  size_t Free() const { return capacity - size; }
  // Appends all `length` bytes; false (nothing written) when they do not fit or memory ran out.
  bool Write(const void* data, size_t length);
  // Moves up to `length` bytes out; answers how many.
  size_t Read(void* out, size_t length);

 private:
  const size_t capacity;
  std::unique_ptr<char[]> storage;
  size_t head = 0;  // where the oldest byte is
  size_t size = 0;
};

#endif  // ZVNET_PLATFORM_BYTERING_H_
