#include "platform/Module.h"

#include <dlfcn.h>
#include <link.h>

HMODULE GetModuleHandleExW(const char* soname) {
  return ::dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
}

void* GetProcAddress(HMODULE module, const char* name) {
  return module ? ::dlsym(module, name) : nullptr;
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
