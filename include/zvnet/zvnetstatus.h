// ZvNetStatus: a callback when the machine's addresses or routes change.
//
// The callback runs on the registering thread, while it runs its message loop (zvmsgloop.h),
// once a burst of changes has settled (3 seconds after its last change). One background thread
// watches for changes while any registration exists; it watches the network namespace of the
// thread whose registration started it.
#ifndef ZVNET_ZVNETSTATUS_H_
#define ZVNET_ZVNETSTATUS_H_

#include <cstdint>

#include "zvnet/zvdefs.h"

enum ZV_NET_STATUS : int32_t {
  ZV_NET_CONNECTED = 0,     // a change was seen and the machine is connected
  ZV_NET_DISCONNECTED = 1,  // a change was seen and the machine is not connected
  ZV_NET_DETECT_EXIT = 2,   // detection ended with an error; this registration is gone
};

typedef int32_t(ZV_STDCALL* NetStatusCallback)(int32_t cookie, uint32_t param,
                                               ZV_NET_STATUS status);

namespace ZvNetStatus {

// Registers `callback` to be called on the calling thread, with `param`, after each settled
// change of the machine's addresses or routes. The registration's cookie goes to `*cookie`
// when `cookie` is not null: from 1 up, and after the largest int from 1 again, passing over
// the cookies of registrations still in place. Answers 0, E_INVALIDARG for a null callback, or
// E_FAIL.
ZVNET_API long DetectNetStatus(NetStatusCallback callback, uint32_t param, int32_t* cookie);

// Removes the registration `cookie`: 0, or E_INVALIDARG when no such registration exists (also
// after a ZV_NET_DETECT_EXIT callback removed it). Once no registration is left, nothing
// watches the network until the next DetectNetStatus. No callback of the cookie runs once it
// returns: called on another thread, it waits for one running on the registering thread.
ZVNET_API long UnDetectNetStatus(int32_t cookie);

}  // namespace ZvNetStatus

#endif  // ZVNET_ZVNETSTATUS_H_
