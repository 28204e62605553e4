#include "netstatus/NetStatusService.h"

#include <new>

#include "frame/Log.h"
#include "platform/win32/NoDestructor.h"
#include "platform/win32/Thread.h"

namespace {

// Read and written under the family lock only.
NoDestructor<std::shared_ptr<CNetStatusService>> instance;

}  // namespace

bool CNetStatusService::CreateInstance() {
  WriteLog(LOG_TRACE, L"CNetStatusService::CreateInstance");
  if (*instance) return true;
  WriteLog(LOG_TRACE, L"CNetStatusService::CreateInstance True");
  try {
    auto service = std::make_shared<CNetStatusService>();
    service->proxy.SetOwner(service);
    *instance = std::move(service);
  } catch (const std::bad_alloc&) {
    WriteLog(LOG_TRACE, L"CNetStatusService::CreateInstance False");
    return false;
  }
  return true;
}

void CNetStatusService::DestroyInstance() {
  WriteLog(LOG_TRACE, L"CNetStatusService::DestroyInstance");
  if (!*instance) return;
  WriteLog(LOG_TRACE, L"CNetStatusService::DestroyInstance True");
  std::shared_ptr<CNetStatusService> service = std::move(*instance);
  instance->reset();
  service->Shutdown();
  // A dispatch still running on a registering thread may hold the last reference.
}

std::shared_ptr<CNetStatusService> CNetStatusService::Instance() {
  return *instance;
}

CNetStatusService::CNetStatusService() {
  proxy.RegisterMsg(WM_NETSTATUS_CHANGED);
  proxy.RegisterMsg(WM_NETSTATUS_EXIT);
}

void CNetStatusService::Shutdown() {
  WriteLog(LOG_TRACE, L"CNetStatusService::~CNetStatusService");
  gate.Close();
  {
    CAutoLock guard(lock);
    if (detector) {
      detector->StopDetect();
      detector.reset();
    }
    registrations.clear();
  }
  proxy.DestroyAllWindows();
}

void CNetStatusService::OnThreadWindowDestroyed(HWND window) {
  {
    CAutoLock guard(lock);
    for (auto it = registrations.begin(); it != registrations.end();) {
      if (it->second.window != window) {
        ++it;
        continue;
      }
      if (detector) detector->RegisterWindow(window, FALSE);
      it = registrations.erase(it);
    }
    if (detector && registrations.empty()) detector->StopDetect();
  }
  proxy.ForgetWindow(window);
}

size_t CNetStatusService::RegistrationCountForTesting() {
  CAutoLock guard(lock);
  return registrations.size();
}

long CNetStatusService::DetectNetStatus(NetStatusCallback callback, uint32_t param,
                                        int32_t* cookie) {
  if (!callback) return E_INVALIDARG;
  const HWND window = proxy.GetThreadWindow();
  // Without a window no callback could ever run: refuse rather than answer success.
  if (!window) return E_FAIL;

  // The detector is shared with the window's end on its thread, which takes `lock` only.
  CAutoLock guard(lock);
  if (WatchWindow(window) != S_OK) return E_FAIL;
  const int32_t newCookie = cookies.Draw([&](int taken) { return registrations.contains(taken); });
  if (cookie) *cookie = newCookie;
  registrations[newCookie] = {callback, param, window};
  return S_OK;
}

void CNetStatusService::SetNextCookieForTesting(int32_t cookie) {
  CAutoLock guard(lock);
  cookies.SetNextForTesting(cookie);
}

long CNetStatusService::WatchWindow(HWND window) {
  if (!detector) {
    try {
      detector = std::make_unique<CDetectNetStatus>();
    } catch (const std::bad_alloc&) {
      return E_FAIL;
    }
  }
  detector->RegisterWindow(window, TRUE);
  if (detector->IsStopped() || detector->HasFailed()) {
    // A registration that no thread watches would never hear of a change: undo it.
    if (detector->StartDetect() == E_FAIL) {
      detector->RegisterWindow(window, FALSE);
      return E_FAIL;
    }
  }
  return S_OK;
}

long CNetStatusService::UnDetectNetStatus(int32_t cookie) {
  CAutoLock guard(lock);
  auto it = registrations.find(cookie);
  if (it == registrations.end()) return E_INVALIDARG;
  if (detector) detector->RegisterWindow(it->second.window, FALSE);
  registrations.erase(it);
  if (detector && registrations.empty()) detector->StopDetect();
  return S_OK;
}

bool CNetStatusService::TakeRegistrationOfWindow(HWND window, bool erase, int32_t& cookie,
                                                 Registration& found, CDeliveryGate::Pass& pass) {
  CAutoLock guard(lock);
  for (auto it = registrations.begin(); it != registrations.end(); ++it) {
    if (it->second.window != window) continue;
    cookie = it->first;
    found = it->second;
    pass = gate.Admit({cookie, 0});
    if (erase) registrations.erase(it);
    return true;
  }
  return false;
}

long CNetStatusService::OnMulThreadProxyMsg(HWND window, UINT message, WPARAM wParam,
                                            LPARAM /*lParam*/) {
  WriteLog(LOG_TRACE, L"CNetStatusService::OnMulThreadProxyMsg Msg: %d   Param: %d",
           static_cast<int>(message), static_cast<int>(wParam));
  int32_t cookie = 0;
  Registration found{};
  CDeliveryGate::Pass pass;
  if (!TakeRegistrationOfWindow(window, message == WM_NETSTATUS_EXIT, cookie, found, pass) ||
      !found.callback) {
    WriteLog(LOG_FAIL, L"CNetStatusService::OnMulThreadProxyMsg Callback is NULL");
    return 0;
  }
  ZV_NET_STATUS status;
  if (message == WM_NETSTATUS_CHANGED) {
    WriteLog(LOG_TRACE, L"CNetStatusService::OnMulThreadProxyMsg WM_NETSTATUS_CHANGED");
    status = wParam == 1 ? ZV_NET_CONNECTED : ZV_NET_DISCONNECTED;
  } else if (message == WM_NETSTATUS_EXIT) {
    WriteLog(LOG_TRACE, L"CNetStatusService::OnMulThreadProxyMsg WM_NETSTATUS_EXIT");
    status = ZV_NET_DETECT_EXIT;
  } else {
    WriteLog(LOG_FAIL, L"CNetStatusService::OnMulThreadProxyMsg ErrorMessage");
    return 0;
  }
  if (pass) found.callback(cookie, found.param, status);
  return 0;
}
