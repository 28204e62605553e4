// Makes the pages of a block that is about to be written present in one call, where touching
// them one by one would take a page fault per 4 KiB: a large body then costs about what
// writing it into a file's page cache costs. A refusal (an older kernel) changes nothing.
#ifndef ZVNET_PLATFORM_WIN32_PREFAULT_H_
#define ZVNET_PLATFORM_WIN32_PREFAULT_H_

#include <cstddef>

#ifdef _WIN32
inline void PrefaultForWrite(unsigned char*, size_t) {}
#else
#include <sys/mman.h>

#include <cstdint>

inline void PrefaultForWrite(unsigned char* block, size_t length) {
  constexpr uintptr_t kPage = 4096;
  // Whole pages inside the block only: the allocator owns the bytes around it.
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + length) & ~(kPage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}
#endif

#endif  // ZVNET_PLATFORM_WIN32_PREFAULT_H_
