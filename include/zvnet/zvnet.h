// All of zvnet's public interface.
#ifndef ZVNET_ZVNET_H_
#define ZVNET_ZVNET_H_

#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"
#include "zvnet/zvnetstatus.h"
#include "zvnet/zvudp.h"

#endif  // ZVNET_ZVNET_H_
