// The library's log calls. Both hand their arguments to the logging library's XLogV when the
// host process has loaded it, and do nothing otherwise. Formats are wide printf formats with
// Windows meanings: %s is a wide string. Safe from any thread at any time.
#ifndef ZVNET_FRAME_LOG_H_
#define ZVNET_FRAME_LOG_H_

inline constexpr int LOG_TRACE = 16;   // entry, exit and routine steps
inline constexpr int LOG_EVENT = 32;   // notable events of a running operation
inline constexpr int LOG_FAIL = 48;    // failures
inline constexpr int LOG_APIERR = 80;  // the error code of a failed platform call

void WriteLog(int level, const wchar_t* format, ...);
void WriteLogTagged(int level, const wchar_t* tag, const wchar_t* format, ...);

#endif  // ZVNET_FRAME_LOG_H_
