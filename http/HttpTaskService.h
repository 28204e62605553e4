// The HTTP task service: the process-wide singleton behind the ZvHttp exports.
//
// Threads: the exports' callers (serialised by the family lock); worker threads call
// OnDealTaskMsg through their tasks; each requesting thread runs OnMulThreadProxyMsg and the
// time-out pass from its own window. Owned by a std::shared_ptr so that a dispatch running on
// another thread keeps it alive through shutdown.
#ifndef ZVNET_HTTP_HTTPTASKSERVICE_H_
#define ZVNET_HTTP_HTTPTASKSERVICE_H_

#include <memory>

#include "http/HttpRecords.h"
#include "platform/WinTypes.h"

class CHttpTaskService : public std::enable_shared_from_this<CHttpTaskService> {
 public:
  // The singleton, read under the instance lock; null when there is none.
  static std::shared_ptr<CHttpTaskService> GetInstance();

  // Hand-over from a task on its worker thread; takes ownership of `data`.
  long OnDealTaskMsg(UINT message, int taskId, std::unique_ptr<HttpMsgData> data);
};

#endif  // ZVNET_HTTP_HTTPTASKSERVICE_H_
