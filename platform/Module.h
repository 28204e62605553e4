// GetModuleHandleExW and GetProcAddress: find a library that the host process has already
// loaded, without ever loading it.
#ifndef ZVNET_PLATFORM_MODULE_H_
#define ZVNET_PLATFORM_MODULE_H_

typedef void* HMODULE;

// The handle of the already loaded library `soname` (a reference is taken), or null.
HMODULE GetModuleHandleExW(const char* soname);
void* GetProcAddress(HMODULE module, const char* name);

#endif  // ZVNET_PLATFORM_MODULE_H_
