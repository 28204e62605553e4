// What a posted HTTP message stands for; its lParam is the number it is listed under.
//
// Made on a worker thread and kept in the service's `inFlight` list, which owns it until the
// requesting thread's window claims it (taking it out of the list under the records lock) or
// shutdown frees it. A queued message whose number is no longer in the list is never read;
// numbers are not reused, so a late message can never be taken for a newer one.
#ifndef ZVNET_HTTP_POSTEDHTTPMESSAGE_H_
#define ZVNET_HTTP_POSTEDHTTPMESSAGE_H_

#include <cstdint>
#include <optional>

#include "http/HttpRecords.h"
#include "http/HttpTaskRecord.h"

struct PostedHttpMessage {
  // Set when its task was stopped or timed out after it was posted: it is dropped on arrival.
  uint8_t consumed = 0;
  std::optional<HttpTaskRecord> record;  // a copy: one allocation less per message
  HttpMsgData data;                      // held in place: most messages carry nothing else
  int taskId = 0;                        // the task that reported it, for cancelling
};

#endif  // ZVNET_HTTP_POSTEDHTTPMESSAGE_H_
