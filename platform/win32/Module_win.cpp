// Windows: the look-up by module name of a library the host has already loaded.
#include "platform/win32/Module.h"

#include <atomic>

#include "platform/win32/StringConv.h"

HMODULE GetModuleHandleExW(const char* name) {
  HMODULE module = nullptr;
  // Flags 0: takes a reference, which the caller keeps; never loads the library.
  if (!::GetModuleHandleExW(0, Utf8ToWide(name).c_str(), &module)) return nullptr;
  return module;
}

unsigned long long LoadedModulesGeneration() {
  static std::atomic<unsigned long long> calls{0};
  return calls.fetch_add(1) + 1;
}
