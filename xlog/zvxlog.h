/* zvxlog: the application's logging library. zvnet writes through XLogV once a host has
 * loaded this library; hosts configure it here or through the environment:
 *   ZVXLOG_FILE   path of the log file (appended to); standard error when unset
 *   ZVXLOG_LEVEL  lowest level written (default 32: events, failures and API errors)
 * Formats are wide printf formats with Windows meanings: %s and %c take wide text, %S and
 * %hs narrow text. Every function is thread-safe. */
#ifndef ZVXLOG_H_
#define ZVXLOG_H_

#include <stdarg.h>
#include <wchar.h>

#if defined(_WIN32) && defined(ZVXLOG_BUILDING_DLL)
#define ZVXLOG_API __declspec(dllexport)
#elif defined(_WIN32)
#define ZVXLOG_API __declspec(dllimport)
#else
#define ZVXLOG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

ZVXLOG_API void XLogV(int level, const wchar_t* tag, const wchar_t* format, va_list args);
ZVXLOG_API void XLog(int level, const wchar_t* tag, const wchar_t* format, ...);
/* Sends lines to `path` (UTF-8, appended), or to standard error for null or "". 0, or -1 when
 * the file cannot be opened (the output is then unchanged). */
ZVXLOG_API int XLogSetOutput(const char* path);
ZVXLOG_API void XLogSetLevel(int minLevel);

#ifdef __cplusplus
}
#endif

#endif /* ZVXLOG_H_ */
