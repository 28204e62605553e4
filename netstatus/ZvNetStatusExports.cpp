// The exported ZvNetStatus functions. There is no Init or Uninit export: the exports count
// references themselves. The service, once made, lives until the process ends: unregistering
// the last cookie stops the detector thread but keeps the service, so that a cookie is not
// given again until the count has passed the largest int (and then never one in use), and a
// stale cookie cannot remove a later registration before that.
#include "frame/Log.h"
#include "netstatus/NetStatusService.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/NoDestructor.h"
#include "zvnet/zvnetstatus.h"

namespace ZvNetStatus {
namespace {

// Made at load. `familyLock` guards `referenceCount` and `service`, and serialises the exports.
NoDestructor<CCriticalSection> familyLock;
uint32_t referenceCount = 0;
NoDestructor<std::shared_ptr<CNetStatusService>> service;

long Init() {
  ++referenceCount;
  if (!*service && CNetStatusService::CreateInstance()) *service = CNetStatusService::Instance();
  WriteLog(LOG_TRACE, L"ZvNetStatus::Init. Refer: %d times", static_cast<int>(referenceCount));
  return 0;
}

long Uninit() {
  const uint32_t before = referenceCount;
  if (referenceCount > 0) --referenceCount;
  if (before <= 1 && *service) {
    CNetStatusService::DestroyInstance();
    service->reset();
    WriteLog(LOG_TRACE, L"ZvNetStatus::Uninit CNetStatusService::DestroyInstance");
  }
  WriteLog(LOG_TRACE, L"ZvNetStatus::Uninit. Refer: %d times", static_cast<int>(referenceCount));
  return 0;
}

}  // namespace

long DetectNetStatus(NetStatusCallback callback, uint32_t param, int32_t* cookie) {
  CAutoLock guard(*familyLock);
  Init();
  if (!*service) return E_FAIL;
  return (*service)->DetectNetStatus(callback, param, cookie);
}

long UnDetectNetStatus(int32_t cookie) {
  std::shared_ptr<CNetStatusService> current;
  long result = E_FAIL;
  {
    CAutoLock guard(*familyLock);
    if (!*service) {
      Uninit();
      return E_FAIL;
    }
    current = *service;
    result = current->UnDetectNetStatus(cookie);
  }
  // A callback of the cookie running on another thread may itself call an export: it is
  // waited for with the family lock released.
  current->WaitForDelivery(cookie);
  return result;
}

}  // namespace ZvNetStatus
