// Windows: the overlapped NotifyRouteChange and NotifyAddrChange of IP Helper. An armed
// notification's event is signalled by the first change of the IPv4 routing table, or of an
// IPv4 address, after arming (these calls watch IPv4 only), and stays signalled until it is
// cancelled with CancelIPChangeNotify, which the destructor does too.
//
// Threads: one thread arms, waits on and cancels a notification. Owns its event; the
// OVERLAPPED the system holds while armed lives in the object, so cancelling waits until the
// system has let go of it.
#ifndef ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_WIN_H_
#define ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_WIN_H_

#include "zvnet/zvdefs.h"  // winsock2.h and windows.h first

#include <iphlpapi.h>

#include "platform/win32/UniqueHandle_win.h"
#include "platform/win32/Waitable.h"

class CIpChangeNotification : public CWaitable {
 public:
  CIpChangeNotification() : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    overlapped.hEvent = event.Get();
  }
  ~CIpChangeNotification() override { Cancel(); }
  CIpChangeNotification(const CIpChangeNotification&) = delete;
  CIpChangeNotification& operator=(const CIpChangeNotification&) = delete;

  // ERROR_IO_PENDING once armed, else the system's error.
  DWORD ArmRoute() {
    HANDLE unused = nullptr;  // for GetOverlappedResult only; the system owns it
    return Armed(event.IsValid() ? ::NotifyRouteChange(&unused, &overlapped)
                                 : ERROR_INVALID_HANDLE);
  }
  DWORD ArmAddress() {
    HANDLE unused = nullptr;
    return Armed(event.IsValid() ? ::NotifyAddrChange(&unused, &overlapped) : ERROR_INVALID_HANDLE);
  }
  void Cancel() {
    // A cancelled request ends later, on the system's time: it still writes its status into
    // `overlapped` and sets the event, so both must outlive it. A refused cancel found nothing
    // left to end (Wine's refuses every cancel: its requests never end either).
    if (armed && ::CancelIPChangeNotify(&overlapped)) {
      ::WaitForSingleObject(event.Get(), INFINITE);
    }
    armed = false;
  }
  bool IsArmed() const { return armed; }

  HANDLE WaitHandle() const override { return event.Get(); }

 private:
  DWORD Armed(DWORD result) {
    armed = result == ERROR_IO_PENDING;
    return result;
  }

  UniqueHandle event;
  OVERLAPPED overlapped{};
  bool armed = false;
};

// The library's forms of the calls, over the object.
inline DWORD NotifyRouteChange(CIpChangeNotification& notification) {
  return notification.ArmRoute();
}
inline DWORD NotifyAddrChange(CIpChangeNotification& notification) {
  return notification.ArmAddress();
}
inline BOOL CancelIPChangeNotify(CIpChangeNotification& notification) {
  notification.Cancel();
  return TRUE;
}

#endif  // ZVNET_PLATFORM_IPHELPER_IPCHANGENOTIFICATION_WIN_H_
