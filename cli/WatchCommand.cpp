#include "cli/WatchCommand.h"

#include <cstdio>
#include <ctime>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "zvnet/zvnet.h"

namespace {

bool detectionEnded = false;

int32_t ZV_STDCALL OnNetStatus(int32_t, uint32_t, ZV_NET_STATUS status) {
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  const char* text = status == ZV_NET_CONNECTED      ? "connected"
                     : status == ZV_NET_DISCONNECTED ? "disconnected"
                                                     : "detection ended";
  std::printf("%s network changed: %s\n", stamp, text);
  std::fflush(stdout);
  if (status == ZV_NET_DETECT_EXIT) detectionEnded = true;
  return 0;
}

}  // namespace

int RunWatch() {
  int32_t cookie = 0;
  if (ZvNetStatus::DetectNetStatus(OnNetStatus, 0, &cookie) != 0) {
    PrintError("network change detection could not be started");
    return kExitFailure;
  }
  std::printf("watching for network changes (Ctrl-C to stop)\n");
  std::fflush(stdout);
  CHostLoop loop;
  loop.RunUntil([] { return detectionEnded; });
  if (!detectionEnded) ZvNetStatus::UnDetectNetStatus(cookie);
  return detectionEnded ? kExitFailure : kExitOk;
}
