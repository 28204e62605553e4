// A bounded ring of bytes: the buffer between a request's libcurl transfer and its reader or
// writer. Not thread-safe itself; its owner's lock guards it. Storage starts small
// and grows up to the bound only as the data waiting in it demands, so that the many small
// answers never pay for the room a large download needs.
#ifndef ZVNET_PLATFORM_WININET_BYTERING_LINUX_H_
#define ZVNET_PLATFORM_WININET_BYTERING_LINUX_H_

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
  // Makes the storage hold at least `needed` bytes, keeping the waiting ones; false when
  // memory ran out.
  bool Reserve(size_t needed);

  const size_t capacity;
  std::unique_ptr<char[]> storage;
  size_t allocated = 0;
  size_t head = 0;  // where the oldest byte is
  size_t size = 0;
};

#endif  // ZVNET_PLATFORM_WININET_BYTERING_LINUX_H_
