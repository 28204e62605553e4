// Request options shared by the HTTP subcommands, and how they become library records.
#ifndef ZVNET_CLI_HTTPOPTIONS_H_
#define ZVNET_CLI_HTTPOPTIONS_H_

#include <string>
#include <vector>

#include "zvnet/zvhttp.h"

struct HttpOptions {
  std::vector<std::string> headers;  // "Name: value"
  std::vector<std::string> cookies;  // "NAME=VALUE"
  std::string referrer;
  bool noAutoRedirect = false;
  bool stopOnRedirect = false;
  std::string proxy;          // (http|socks5|system)://HOST:PORT
  std::string proxyUser;      // USER:PASSWORD
  double timeoutSeconds = 0;  // 0: no time-out
};

// The request for `url`; false with `error` set when an option is malformed.
bool BuildRequest(const HttpOptions& options, const std::string& url, tagDefHttpPar* par,
                  std::string* error);
// Proxy settings from the options; false with `error` set when malformed.
bool BuildProxy(const HttpOptions& options, tagHProxyInfo* proxy, std::string* error);
unsigned int TimeoutMs(const HttpOptions& options);
// Initialises the family and applies the proxy: kExitOk, or the exit status (usage for a
// malformed proxy option) with a message printed.
int StartHttp(const HttpOptions& options);
// The exit status for a transfer's final code and HTTP status.
int ExitStatusFor(DOWNLOAD_ERRORCODE code, int httpStatus);
std::string DescribeCode(DOWNLOAD_ERRORCODE code);
// Why a transfer of `url` (saved to `path`, empty for memory) failed, as a user reads it:
// the cause the library named, or the code's description when it named none.
std::string DescribeFailure(DOWNLOAD_ERRORCODE code, ZV_FAILURE_CAUSE cause, int systemError,
                            const std::string& url, const std::string& path);

#endif  // ZVNET_CLI_HTTPOPTIONS_H_
