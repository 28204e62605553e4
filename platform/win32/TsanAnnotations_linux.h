// Tells ThreadSanitizer about hand-overs it cannot see: an eventfd written by one thread and
// read by another orders memory as a lock would. No code outside sanitizer builds.
#ifndef ZVNET_PLATFORM_WIN32_TSANANNOTATIONS_LINUX_H_
#define ZVNET_PLATFORM_WIN32_TSANANNOTATIONS_LINUX_H_

#if defined(__SANITIZE_THREAD__)
#define ZVNET_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZVNET_TSAN 1
#endif
#endif

#ifdef ZVNET_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void AnnotateHappensBefore(const void* addr) {
  __tsan_release(const_cast<void*>(addr));
}
inline void AnnotateHappensAfter(const void* addr) {
  __tsan_acquire(const_cast<void*>(addr));
}
#else
inline void AnnotateHappensBefore(const void*) {}
inline void AnnotateHappensAfter(const void*) {}
#endif

#endif  // ZVNET_PLATFORM_WIN32_TSANANNOTATIONS_LINUX_H_
