// Exit statuses of the zvnet command.
#ifndef ZVNET_CLI_EXITCODES_H_
#define ZVNET_CLI_EXITCODES_H_

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // any other failure
inline constexpr int kExitUsage = 2;        // bad arguments
inline constexpr int kExitNotModified = 3;  // 304 to a conditional fetch
inline constexpr int kExitNotFound = 4;     // 404
inline constexpr int kExitTimeout = 5;      // the time-out passed

#endif  // ZVNET_CLI_EXITCODES_H_
