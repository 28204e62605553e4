// Windows: the interrupt (Ctrl-C, Ctrl-Break, closing the console) reaches the loop as a flag
// the console's control handler sets, on a thread of its own.
#include "cli/HostLoop.h"

#include "zvnet/zvdefs.h"  // windows.h

CHostLoop::CHostLoop() {
  ::SetConsoleCtrlHandler(
      [](DWORD type) -> BOOL {
        if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
          return FALSE;
        interrupted = true;
        return TRUE;
      },
      TRUE);
}
