// GetModuleHandleExW and GetProcAddress: find a library that the host process has already
// loaded, without ever loading it.
#ifndef ZVNET_PLATFORM_WIN32_MODULE_H_
#define ZVNET_PLATFORM_WIN32_MODULE_H_

typedef void* HMODULE;

// The handle of the already loaded library `soname` (a reference is taken), or null.
HMODULE GetModuleHandleExW(const char* soname);
void* GetProcAddress(HMODULE module, const char* name);
// How many libraries the process has loaded so far; it changes whenever one is added. A
// module that was not found is not worth looking up again until it changes.
unsigned long long LoadedModulesGeneration();

#endif  // ZVNET_PLATFORM_WIN32_MODULE_H_
