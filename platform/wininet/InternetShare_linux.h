// What every thread's transfers share: libcurl's global state and the share handle that holds
// the process-wide cookie store, DNS cache and TLS sessions. Connections are not shared: a
// libcurl connection pool may not be used by several threads at once, so each thread's engine
// keeps its own (CInternetEngine).
//
// Threads: any thread. The share handle locks itself (one mutex per kind of data). Made on
// first use; lives until the process ends.
#ifndef ZVNET_PLATFORM_WININET_INTERNETSHARE_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETSHARE_LINUX_H_

#include <curl/curl.h>

#include <memory>
#include <mutex>

class CInternetShare {
 public:
  static CInternetShare& Get();

  // False when libcurl could not be set up; requests then fail instead of starting.
  bool Usable() const { return usable; }
  // Null when not usable.
  CURLSH* Handle() const { return share.get(); }

  CInternetShare();
  CInternetShare(const CInternetShare&) = delete;
  CInternetShare& operator=(const CInternetShare&) = delete;

 private:
  struct ShareFree {
    void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
  };

  bool Init();
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
  static void Unlock(CURL*, curl_lock_data data, void* self);

  bool usable = false;  // set once by the constructor
  std::unique_ptr<CURLSH, ShareFree> share;
  std::mutex locks[CURL_LOCK_DATA_LAST];
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETSHARE_LINUX_H_
