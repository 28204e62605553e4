// The service behind the ZvNetStatus exports: keeps the registrations, gives each registering
// thread its proxy window, and runs the change detector while any registration exists. The
// detector posts to the windows; each window hands the message back here on its own thread,
// which calls the callback of that thread's registration.
//
// Threads: the exports' callers (serialised by the family lock) register and unregister;
// OnMulThreadProxyMsg runs on each registering thread while it pumps, and
// OnThreadWindowDestroyed when that thread's window ends (with the thread): its registrations
// go with it. A registration belongs to its thread's window, never to a thread id. `lock`
// guards `registrations`, `cookies` and `detector`; it is taken after the family lock and
// before the detector's and the proxy's locks, and never held while a callback runs.
// Callbacks run through `gate`, admitted under `lock` while their registration is there, so
// UnDetectNetStatus, once it has waited (WaitForDelivery, outside the family lock), is
// followed by no callback of that cookie. Owned by a
// std::shared_ptr (the instance pointer) so that a dispatch running on another thread keeps
// it alive through shutdown; owns its detector.
#ifndef ZVNET_NETSTATUS_NETSTATUSSERVICE_H_
#define ZVNET_NETSTATUS_NETSTATUSSERVICE_H_

#include <cstdint>
#include <map>
#include <memory>

#include "frame/DeliveryGate.h"
#include "frame/IdSequence.h"
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
  // After UnDetectNetStatus, with the family lock released: waits for a callback of the
  // cookie running on another thread.
  void WaitForDelivery(int32_t cookie) { gate.WaitFor(cookie); }
  // On the registering thread, from its proxy window; `lParam` is not read.
  long OnMulThreadProxyMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnThreadWindowDestroyed(HWND window);
  size_t RegistrationCountForTesting();

  // The cookie the next registration considers first, as if the count had come that far.
  void SetNextCookieForTesting(int32_t cookie);

 private:
  struct Registration {
    NetStatusCallback callback;
    uint32_t param;
    HWND window;  // the registering thread's proxy window
  };

  // Stops detection, forgets every registration and destroys the windows.
  void Shutdown();
  // Makes the detector if needed and has it watch `window`; S_OK or E_FAIL.
  long WatchWindow(HWND window);
  // The first registration of the window, in cookie order; erased when `erase`.
  bool TakeRegistrationOfWindow(HWND window, bool erase, int32_t& cookie, Registration& found,
                                CDeliveryGate::Pass& pass);

  std::map<int32_t, Registration> registrations;  // by cookie
  CMulThreadProxy<CNetStatusService> proxy;
  CCriticalSection lock;  // guards registrations and cookies
  CIdSequence cookies;    // none given twice while its registration is in place
  std::unique_ptr<CDetectNetStatus> detector;  // made by the first registration
  CDeliveryGate gate;                          // no callback after its unregistration
};

#endif  // ZVNET_NETSTATUS_NETSTATUSSERVICE_H_
