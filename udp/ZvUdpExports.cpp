// The exported ZvUdp functions: thin wrappers that check the service and their pointer
// arguments, log, and forward to CUdpTaskService.
//
// The host calls Init and Uninit from one thread; the other exports may run on any thread.
// `family.lock` guards the use count and the service pointer; each export holds it only to
// copy the pointer, except Uninit, which shuts the service down under it. The last Uninit
// then waits, with the lock released so that such a callback may itself call an export, for
// the callbacks running on other threads: none runs once it has returned.
#include <mutex>

#include "frame/Log.h"
#include "platform/win32/NoDestructor.h"
#include "udp/UdpTaskService.h"
#include "zvnet/zvudp.h"

namespace {

struct Family {
  std::mutex lock;
  int useCount = 0;
  std::shared_ptr<CUdpTaskService> service;
};

// Never destroyed: task threads may still post while the process exits.
Family& TheFamily() {
  static NoDestructor<Family> family;
  return *family;
}

std::shared_ptr<CUdpTaskService> Service() {
  Family& family = TheFamily();
  std::lock_guard guard(family.lock);
  return family.service;
}

}  // namespace

std::shared_ptr<CUdpTaskService> CUdpTaskService::CurrentForTesting() {
  return Service();
}

namespace ZvUdp {

long Init() {
  Family& family = TheFamily();
  std::lock_guard guard(family.lock);
  ++family.useCount;
  if (!family.service) family.service = CUdpTaskService::Create();
  WriteLog(LOG_TRACE, L"ZvUdp::Init for %d times", family.useCount);
  return S_OK;
}

long Uninit() {
  Family& family = TheFamily();
  std::shared_ptr<CUdpTaskService> doomed;
  {
    std::lock_guard guard(family.lock);
    if (family.useCount > 0) --family.useCount;
    if (family.useCount == 0 && family.service) {
      doomed = std::move(family.service);
      doomed->Shutdown();
    }
    WriteLog(LOG_TRACE, L"ZvUdp::Uninit for %d times", family.useCount);
  }
  // A dispatch still running on another thread keeps its own reference until it returns.
  if (doomed) doomed->WaitForDeliveries();
  doomed.reset();
  return S_OK;
}

long CreateChannel(UDP_CHANNEL_TYPE type, tagUdpServer* server, int* channelId) {
  auto service = Service();
  if (!service) return E_FAIL;
  if (static_cast<uint32_t>(type) > UDP_CHANNEL_DUPLEX || !server || !channelId) return E_FAIL;
  WriteLog(LOG_TRACE, L"ZvUdp::CreateChannel");
  return service->CreateChannel(type, server, channelId);
}

long CloseChannel(int channelId) {
  auto service = Service();
  if (!service) return E_FAIL;
  WriteLog(LOG_TRACE, L"ZvUdp::CloseChannel for ID:%d", channelId);
  return service->CloseChannel(channelId);
}

long SendData(int channelId, const char* data, UdpTaskCallback sendCallback,
              UdpTaskCallback recvCallback, unsigned int timeoutMs, unsigned long userParam,
              int* cookie, bool resetDomain) {
  auto service = Service();
  if (!service || !data) return E_FAIL;
  return service->SendData(channelId, data, sendCallback, recvCallback, timeoutMs, userParam,
                           cookie, resetDomain);
}

long SendData(tagUdpTaskParam* param, UdpTaskCallback callback, unsigned int timeoutMs,
              int* cookie) {
  auto service = Service();
  if (!service || !param) return E_FAIL;
  return service->SendData(param, callback, timeoutMs, cookie);
}

long StopTask(int cookie) {
  auto service = Service();
  if (!service) return E_FAIL;
  WriteLog(LOG_TRACE, L"ZvUdp::StopTask for ID:%d", cookie);
  return service->StopTask(cookie);
}

long SetMaxTaskNum(int maxTaskNum) {
  auto service = Service();
  if (!service) return E_FAIL;
  return service->SetMaxTaskNum(maxTaskNum);
}

}  // namespace ZvUdp
