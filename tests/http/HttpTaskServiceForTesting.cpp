// Stands in for the HTTP task service while the service is not built here: there is never a
// service, so a task drops its messages unless a test installs its own sink
// (CHttpTask::SetMessageSinkForTesting). Compiled only while http/HttpTaskService.cpp is absent.
#include "http/HttpTaskService.h"

std::shared_ptr<CHttpTaskService> CHttpTaskService::GetInstance() {
  return nullptr;
}

long CHttpTaskService::OnDealTaskMsg(UINT, int, std::unique_ptr<HttpMsgData>) {
  return E_FAIL;
}
