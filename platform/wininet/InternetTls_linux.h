// TLS policy of the WinINet stand-in, applied to each new TLS connection from libcurl's
// SSL_CTX hook: tolerance of certificates outside their validity dates when the request asks
// for it, and the extra trusted authorities of the PEM file named by ZVNET_CA_FILE.
//
// Threads: each thread's engine calls Prepare; `mutex` guards the cached authorities.
#ifndef ZVNET_PLATFORM_WININET_INTERNETTLS_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETTLS_LINUX_H_

#include <openssl/ssl.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CInternetTls {
 public:
  static CInternetTls& Get();

  // Chain and host name checks stay libcurl's; this only relaxes the validity dates and
  // adds trust anchors.
  void Prepare(SSL_CTX* ctx, bool ignoreDates);

 private:
  struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
  };
  // Reloads the file when its name or modification time changed.
  void Refresh();

  std::mutex mutex;
  std::string loadedPath;
  time_t loadedTime = 0;
  std::vector<std::unique_ptr<X509, X509Free>> authorities;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETTLS_LINUX_H_
