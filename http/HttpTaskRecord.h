// The delivery record of one accepted request: whom to call back, on which thread, and when
// its time runs out. Owned by the service's `records`; copies travel with posted messages.
#ifndef ZVNET_HTTP_HTTPTASKRECORD_H_
#define ZVNET_HTTP_HTTPTASKRECORD_H_

#include <cstdint>

#include "platform/win32/WinTypes.h"
#include "zvnet/zvhttp.h"

struct HttpTaskRecord {
  HttpTaskCallback callback = nullptr;  // may be null
  int32_t kind = 0;                     // HTTP_KIND_FILE, HTTP_KIND_MEMORY or HTTP_KIND_UPLOAD
  // The requesting thread's window, null if none: its timer and its end rule the request.
  HWND window = nullptr;
  uint32_t timeoutMs = 0;
  int64_t startCounter = 0;  // performance counter at acceptance
  DWORD startTick = 0;       // GetTickCount at acceptance, for after a counter failure
  // Kept at the caller's full width, so the callback gets back exactly what was passed.
  unsigned long userParam = 0;
};

#endif  // ZVNET_HTTP_HTTPTASKRECORD_H_
