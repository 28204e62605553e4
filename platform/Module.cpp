#include "platform/Module.h"

#include <dlfcn.h>

HMODULE GetModuleHandleExW(const char* soname) {
  return ::dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
}

void* GetProcAddress(HMODULE module, const char* name) {
  return module ? ::dlsym(module, name) : nullptr;
}
