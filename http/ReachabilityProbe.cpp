#include "http/ReachabilityProbe.h"

#include <utility>

#include "http/ProxySession.h"

CReachabilityProbe::CReachabilityProbe(tagHProxyInfo proxy) : proxy(std::move(proxy)) {}

int CReachabilityProbe::IsUrlReachable(const wchar_t* destination) {
  if (!destination) return 0;
  UniqueInternetHandle owned(OpenProxySession(proxy, 0));
  if (!owned) return 0;
  // The proxy's credentials go on the session: InternetOpenUrlW sends before they could be
  // set on its request, and without them an authenticating proxy refuses every probe.
  if (!SetProxyCredentials(owned.get(), proxy)) return 0;
  {
    std::lock_guard guard(lock);
    if (aborted) return 0;
    session = owned.get();
  }
  UniqueInternetHandle url(
      InternetOpenUrlW(owned.get(), destination, nullptr, 0, INTERNET_FLAG_RELOAD, 0));
  std::lock_guard guard(lock);
  if (!session) {
    // Abort took the session and closed it, and with it the request, as WinINet closes the
    // children of a closed handle.
    (void)owned.release();
    (void)url.release();
    return 0;
  }
  session = nullptr;
  return url ? 1 : 0;
}

void CReachabilityProbe::Abort() {
  std::lock_guard guard(lock);
  aborted = true;
  if (session) InternetCloseHandle(std::exchange(session, nullptr));
}
