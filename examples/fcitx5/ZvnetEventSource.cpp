#include "ZvnetEventSource.h"

#include <zvnet/zvnet.h>

CZvnetEventSource::CZvnetEventSource(fcitx::EventLoop& loop) {
  const int fd = ZvMsgLoop::GetWaitFd();
  if (fd < 0) return;
  source = loop.addIOEvent(fd, fcitx::IOEventFlag::In,
                           [](fcitx::EventSource*, int, fcitx::IOEventFlags) {
                             ZvMsgLoop::DispatchPending();
                             return true;
                           });
}
