// What the engine holds of a transfer it runs: told, on the engine's thread, when libcurl has
// finished the transfer's easy handle. The engine owns a reference while the handle is in its
// multi handle, so the transfer lives at least until it has been told.
#ifndef ZVNET_PLATFORM_WININET_ENGINETRANSFER_LINUX_H_
#define ZVNET_PLATFORM_WININET_ENGINETRANSFER_LINUX_H_

#include <curl/curl.h>

class CEngineTransfer {
 public:
  virtual ~CEngineTransfer() = default;

  // The handle is out of the multi handle already; the transfer may add it (or another)
  // again.
  virtual void OnTransferDone(CURLcode result) = 0;
};

#endif  // ZVNET_PLATFORM_WININET_ENGINETRANSFER_LINUX_H_
