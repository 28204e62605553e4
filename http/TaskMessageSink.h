// Where an HTTP task hands what it reports: the service's OnDealTaskMsg in production, a
// recorder in tests. Called on the task's driving thread; it takes `data` over.
#ifndef ZVNET_HTTP_TASKMESSAGESINK_H_
#define ZVNET_HTTP_TASKMESSAGESINK_H_

#include <functional>
#include <memory>

#include "http/HttpRecords.h"
#include "platform/win32/WinTypes.h"

using TaskMessageSink = std::function<long(UINT message, int taskId, HttpMsgData&& data)>;

#endif  // ZVNET_HTTP_TASKMESSAGESINK_H_
