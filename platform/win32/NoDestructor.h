// Holds a process-wide object that is never destroyed, so threads still running at exit can
// use it safely (Chromium's base::NoDestructor).
#ifndef ZVNET_PLATFORM_WIN32_NODESTRUCTOR_H_
#define ZVNET_PLATFORM_WIN32_NODESTRUCTOR_H_

#include <new>
#include <utility>

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage)); }
  T* operator->() { return get(); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage[sizeof(T)];
};

#endif  // ZVNET_PLATFORM_WIN32_NODESTRUCTOR_H_
