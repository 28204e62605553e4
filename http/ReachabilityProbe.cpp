#include "http/ReachabilityProbe.h"

#include <utility>

#include "http/ProxySession.h"

CReachabilityProbe::CReachabilityProbe(tagHProxyInfo proxy) : proxy(std::move(proxy)) {}

int CReachabilityProbe::IsUrlReachable(const wchar_t* destination) const {
  if (!destination) return 0;
  UniqueInternetHandle session(OpenProxySession(proxy, 0));
  if (!session) return 0;
  // The proxy's credentials go on the session: InternetOpenUrlW sends before they could be
  // set on its request, and without them an authenticating proxy refuses every probe.
  if (!SetProxyCredentials(session.get(), proxy)) return 0;
  UniqueInternetHandle url(
      InternetOpenUrlW(session.get(), destination, nullptr, 0, INTERNET_FLAG_RELOAD, 0));
  return url ? 1 : 0;
}
