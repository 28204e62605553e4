#include "cli/ReportServeCommand.h"

#include <cstdio>
#include <string>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "tools/CdnReportReceiver.h"

int RunReportServe(const char* address, unsigned short port) {
  // Reports arrive on the receiver's thread; printing a line there needs no more care.
  CCdnReportReceiver receiver([](const std::wstring& query) {
    std::printf("%s\n", EscapeForTerminal(query).c_str());
    std::fflush(stdout);
  });
  if (!receiver.Start(address, port)) {
    PrintError(std::string("cannot listen on ") + address + ":" + std::to_string(port));
    return kExitFailure;
  }
  std::printf("report-serve: receiving reports on http://%s:%u/downloadComplete (Ctrl-C to stop)\n",
              address, receiver.Port());
  std::fflush(stdout);
  CHostLoop loop;
  loop.RunUntil([] { return false; });
  receiver.Stop();
  std::printf("report-serve: %zu reports received\n", receiver.Count());
  return kExitOk;
}
