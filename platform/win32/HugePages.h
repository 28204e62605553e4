// A hint that a large block is written once, front to back: huge pages spare the page fault
// per 4 KiB that otherwise costs as much as the copy. Only the 2 MiB-aligned interior is
// advised; the allocator still owns and frees the whole block. A refusal changes nothing.
#ifndef ZVNET_PLATFORM_WIN32_HUGEPAGES_H_
#define ZVNET_PLATFORM_WIN32_HUGEPAGES_H_

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// Windows gives large pages only to allocations of their own, with a privilege users lack.
inline void AdviseHugePages(unsigned char*, size_t) {}
#else
#include <sys/mman.h>

inline void AdviseHugePages(unsigned char* block, size_t length) {
  constexpr uintptr_t kHugePage = 2 << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + length) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
#endif

#endif  // ZVNET_PLATFORM_WIN32_HUGEPAGES_H_
