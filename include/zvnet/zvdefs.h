// Definitions shared by the zvnet public headers.
#ifndef ZVNET_ZVDEFS_H_
#define ZVNET_ZVDEFS_H_

#include <cstdint>

#ifdef _WIN32
// Windows: the system's own HRESULT values and SYSTEMTIME (winsock2.h first, so that hosts
// may include it after this header). The DLL exports what ZVNET_API marks and nothing else.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on
#ifdef ZVNET_BUILDING_DLL
#define ZVNET_API __declspec(dllexport)
#else
#define ZVNET_API __declspec(dllimport)
#endif
// Host callbacks use the callee-pops convention; x86-64 has one convention and ignores it.
#define ZV_STDCALL __stdcall
#else
#define ZVNET_API __attribute__((visibility("default")))

// Host callbacks used the callee-pops convention on 32-bit Windows; x86-64 and the other
// Linux targets have one calling convention, so the marker is empty here.
#define ZV_STDCALL
#endif

// Result codes keep their 32-bit Windows values and are negative, as HRESULTs are.
#ifndef S_OK
inline constexpr int32_t S_OK = 0;
#endif
#ifndef S_FALSE
inline constexpr int32_t S_FALSE = 1;
#endif
#ifndef E_FAIL
inline constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
#endif
#ifndef E_INVALIDARG
inline constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);
#endif

#ifndef _WIN32
// The Windows SYSTEMTIME record: eight 16-bit fields (UTC where the library takes one).
typedef struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} SYSTEMTIME;
#endif

#endif  // ZVNET_ZVDEFS_H_
