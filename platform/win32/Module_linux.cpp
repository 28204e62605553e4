#include "platform/win32/Module.h"

#include <dlfcn.h>
#include <link.h>

namespace {

// A failed lookup leaves an error record in the thread's storage that glibc frees only at
// thread exit, or when dlerror() is called again after it was read. A thread that ends as the
// process exits would leave it behind, so drop it at once.
void DropLookupError() {
  ::dlerror();
  ::dlerror();
}

}  // namespace

HMODULE GetModuleHandleExW(const char* soname) {
  HMODULE module = ::dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
  if (!module) DropLookupError();
  return module;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module) return nullptr;
  void* address = ::dlsym(module, name);
  if (!address) DropLookupError();
  return address;
}

unsigned long long LoadedModulesGeneration() {
  unsigned long long adds = 0;
  // The first object is enough: every entry carries the process-wide counters.
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        *static_cast<unsigned long long*>(out) = info->dlpi_adds;
        return 1;
      },
      &adds);
  return adds;
}
