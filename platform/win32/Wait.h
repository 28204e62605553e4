// WaitForSingleObject / WaitForMultipleObjects over events, sockets and anything else with a
// descriptor. "Wait for any" only: the library never waits for all. A wait also runs the
// thread's wait driver, if it has one (WaitDriver_linux.h).
#ifndef ZVNET_PLATFORM_WIN32_WAIT_H_
#define ZVNET_PLATFORM_WIN32_WAIT_H_

#include <initializer_list>
#include <span>

#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(const CWaitable& object, DWORD timeoutMs);

// WAIT_OBJECT_0 + the index of the first signalled object, WAIT_TIMEOUT or WAIT_FAILED.
// When several are signalled, the lowest index wins, as on Windows.
DWORD WaitForMultipleObjects(std::span<const CWaitable* const> objects, DWORD timeoutMs);
DWORD WaitForMultipleObjects(std::initializer_list<const CWaitable*> objects, DWORD timeoutMs);

#endif  // ZVNET_PLATFORM_WIN32_WAIT_H_
