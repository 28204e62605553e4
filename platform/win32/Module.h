// GetModuleHandleExW and GetProcAddress: find a library that the host process has already
// loaded, without ever loading it.
#ifndef ZVNET_PLATFORM_WIN32_MODULE_H_
#define ZVNET_PLATFORM_WIN32_MODULE_H_

#ifdef _WIN32
#include "platform/win32/WinTypes.h"  // HMODULE and GetProcAddress
#else
typedef void* HMODULE;
void* GetProcAddress(HMODULE module, const char* name);
#endif

// The handle of the already loaded library `soname` (a reference is taken), or null.
HMODULE GetModuleHandleExW(const char* soname);
// How many libraries the process has loaded so far; it changes whenever one is added. A
// module that was not found is not worth looking up again until it changes. Windows keeps no
// such count: there every call answers a new value, so every look-up is made.
unsigned long long LoadedModulesGeneration();

#endif  // ZVNET_PLATFORM_WIN32_MODULE_H_
