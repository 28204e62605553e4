// The calling thread's message loop.
//
// Results of zvnet's background work are delivered to the thread that asked for the work,
// and only while that thread runs its loop: each requesting thread owns a hidden message
// window whose 2-second timer drives time-outs while the thread has requests open (an idle
// thread is not woken). A host either calls Pump() in its own loop, or polls GetWaitFd()
// beside its other descriptors and calls DispatchPending() when it is readable. Every function acts
// on the calling thread only.
//
// When a thread ends, its window goes and with it what the thread had open: its UDP requests
// and channels, its network-status registrations and its HTTP requests are dropped without
// callbacks (nobody is left to receive them), and they no longer count against any limit.
// After the thread's own loop is gone (a thread-local or key destructor that runs late) and in
// a child forked after the library was used (which must exec, or use none of the library),
// Pump and DispatchPending answer -1, GetWaitFd answers -1, and requests fail.
#ifndef ZVNET_ZVMSGLOOP_H_
#define ZVNET_ZVMSGLOOP_H_

#include "zvnet/zvdefs.h"

namespace ZvMsgLoop {

// Waits up to timeoutMs for a message or a due timer of the calling thread's windows, then
// dispatches everything that is due. Answers how many messages it dispatched (0 after a quiet
// wait), or -1 at once when the thread has no loop (see above).
ZVNET_API long Pump(unsigned int timeoutMs);

// Dispatches what is due now, without waiting; answers how many messages it dispatched, or -1.
ZVNET_API long DispatchPending();

// A descriptor of the calling thread, readable whenever a message or a timer of that thread is
// due. Owned by the library; valid while the thread lives. -1 if it could not be made.
// On Windows the windows are the system's own and there is no descriptor: always -1. There
// the host's message loop (GetMessage or PeekMessage, then DispatchMessage) dispatches them,
// or Pump and DispatchPending run such a loop, dispatching every window of the thread and
// leaving WM_QUIT in the queue for the host.
ZVNET_API int GetWaitFd();

}  // namespace ZvMsgLoop

#endif  // ZVNET_ZVMSGLOOP_H_
