// SYSTEMTIME from a point in time, in UTC, as FileTimeToSystemTime gives it.
#ifndef ZVNET_PLATFORM_WIN32_SYSTEMTIME_H_
#define ZVNET_PLATFORM_WIN32_SYSTEMTIME_H_

#include <ctime>

#include "zvnet/zvdefs.h"

SYSTEMTIME SystemTimeFromUnix(std::time_t when);

#endif  // ZVNET_PLATFORM_WIN32_SYSTEMTIME_H_
