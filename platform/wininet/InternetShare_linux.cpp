#include "platform/wininet/InternetShare_linux.h"

#include <algorithm>
#include <iterator>

#include "platform/win32/NoDestructor.h"

CInternetShare& CInternetShare::Get() {
  static NoDestructor<CInternetShare> instance;
  return *instance;
}

CInternetShare::CInternetShare() {
  usable = Init();
  if (!usable) share.reset();
}

bool CInternetShare::Init() {
  // Never cleaned up globally: transfers may run on any thread until the process ends.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  share.reset(curl_share_init());
  if (!share) return false;
  CURLSH* handle = share.get();
  const CURLSHcode results[] = {
      curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &CInternetShare::Lock),
      curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &CInternetShare::Unlock),
      curl_share_setopt(handle, CURLSHOPT_USERDATA, this),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS),
      curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION),
  };
  // A share without its locks would be used unguarded from several threads.
  return std::all_of(std::begin(results), std::end(results),
                     [](CURLSHcode result) { return result == CURLSHE_OK; });
}

void CInternetShare::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
  static_cast<CInternetShare*>(self)->locks[data].lock();
}

void CInternetShare::Unlock(CURL*, curl_lock_data data, void* self) {
  static_cast<CInternetShare*>(self)->locks[data].unlock();
}
