// The process's memory as the memory benchmarks print it: resident set now and at its peak,
// and what the allocator holds.
#ifndef ZVNET_BENCH_PROCESSMEMORY_H_
#define ZVNET_BENCH_PROCESSMEMORY_H_

#include <malloc.h>
#include <sys/resource.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>

// VmRSS from /proc/self/status; -1 when it cannot be read.
inline long CurrentRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

inline long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Blocks in use, small and mapped alike.
inline size_t HeapInUseKb() {
  const struct mallinfo2 heap = mallinfo2();
  return (heap.uordblks + heap.hblkhd) / 1024;
}

// The allocator's arenas, used or not.
inline size_t HeapArenasKb() {
  return mallinfo2().arena / 1024;
}

#endif  // ZVNET_BENCH_PROCESSMEMORY_H_
