// The service behind the ZvNetStatus exports: keeps the registrations, gives each registering
// thread its proxy window, and runs the change detector while any registration exists. The
// detector posts to the windows; each window hands the message back here on its own thread,
// which calls the callback of that thread's registration.
//
// Threads: the exports' callers (serialised by the family lock) register and unregister;
// OnMulThreadProxyMsg runs on each registering thread while it pumps. `lock` guards
// `registrations` and `nextCookie`; it is taken after the family lock and before the
// detector's and the proxy's locks, and never held while a callback runs. Owned by a
// std::shared_ptr (the instance pointer) so that a dispatch running on another thread keeps
// it alive through shutdown; owns its detector.
#ifndef ZVNET_NETSTATUS_NETSTATUSSERVICE_H_
#define ZVNET_NETSTATUS_NETSTATUSSERVICE_H_

#include <cstdint>
#include <map>
#include <memory>

#include "frame/MulThreadProxy.h"
#include "netstatus/DetectNetStatus.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/WinTypes.h"
#include "zvnet/zvnetstatus.h"

class CNetStatusService : public std::enable_shared_from_this<CNetStatusService> {
 public:
  // The single instance: made if missing (false when that failed), or destroyed. Called under
  // the family lock.
  static bool CreateInstance();
  static void DestroyInstance();
  // The single instance, or null.
  static std::shared_ptr<CNetStatusService> Instance();

  CNetStatusService();
  CNetStatusService(const CNetStatusService&) = delete;
  CNetStatusService& operator=(const CNetStatusService&) = delete;
  virtual ~CNetStatusService() = default;

  long DetectNetStatus(NetStatusCallback callback, uint32_t param, int32_t* cookie);
  long UnDetectNetStatus(int32_t cookie);
  // On the registering thread, from its proxy window; `lParam` is not read.
  long OnMulThreadProxyMsg(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  struct Registration {
    NetStatusCallback callback;
    uint32_t param;
    HWND window;     // the registering thread's proxy window
    DWORD threadId;  // the registering thread
  };

  // Stops detection, forgets every registration and destroys the windows.
  void Shutdown();
  // Makes the detector if needed and has it watch `window`; S_OK or E_FAIL.
  long WatchWindow(HWND window);
  // The first registration of the calling thread, in cookie order; erased when `erase`.
  bool TakeRegistrationOfThisThread(bool erase, int32_t& cookie, Registration& found);

  std::map<int32_t, Registration> registrations;  // by cookie
  CMulThreadProxy<CNetStatusService> proxy;
  CCriticalSection lock;                       // guards registrations and nextCookie
  int32_t nextCookie = 1;                      // never reused while the service lives
  std::unique_ptr<CDetectNetStatus> detector;  // made by the first registration
};

#endif  // ZVNET_NETSTATUS_NETSTATUSSERVICE_H_
