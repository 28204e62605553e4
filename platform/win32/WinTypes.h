// The Windows scalar types and constants that the library's classes are written against.
#ifndef ZVNET_PLATFORM_WIN32_WINTYPES_H_
#define ZVNET_PLATFORM_WIN32_WINTYPES_H_

#include <cstdint>

#include "zvnet/zvdefs.h"

#ifdef _WIN32
// The real ones (zvdefs.h brought winsock2.h and windows.h).
#else

typedef int32_t BOOL;
typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef int32_t HRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t UINT_PTR;

// A window handle. Handles are drawn from a 64-bit counter and never reused.
typedef struct HWND__* HWND;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// The callee-pops convention of system callbacks on 32-bit Windows; one convention here.
#define CALLBACK

typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

inline constexpr UINT WM_DESTROY = 2;
inline constexpr UINT WM_CLOSE = 16;
inline constexpr UINT WM_NCDESTROY = 130;
inline constexpr UINT WM_TIMER = 275;

inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
#endif

#endif  // ZVNET_PLATFORM_WIN32_WINTYPES_H_
