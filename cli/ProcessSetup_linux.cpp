#include "cli/ProcessSetup.h"

#include <malloc.h>
#include <stdlib.h>

// The library's threads allocate and free a body, a buffer and a request per download, each
// in its own arena. With glibc's default threshold, a freed block often makes an arena give its
// top back to the kernel, and the next download faults the same pages in again; in a virtual
// machine each give-back also flushes page tables on every core. Keeping up to 32 MiB spare
// per arena costs little next to that.
void PrepareProcess(int&, char**&) {
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

std::string MakeScratchFolder() {
  char temp[] = "/tmp/zvnet-demo-XXXXXX";
  return ::mkdtemp(temp) ? temp : "";
}
