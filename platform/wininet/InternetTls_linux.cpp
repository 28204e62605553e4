#include "platform/wininet/InternetTls_linux.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32/NoDestructor.h"

CInternetTls& CInternetTls::Get() {
  static NoDestructor<CInternetTls> tls;
  return *tls;
}

void CInternetTls::Refresh() {
  const char* path = std::getenv("ZVNET_CA_FILE");
  std::string wanted = path ? path : "";
  struct stat info {};
  time_t modified = (!wanted.empty() && ::stat(wanted.c_str(), &info) == 0) ? info.st_mtime : 0;
  if (wanted == loadedPath && modified == loadedTime) return;
  loadedPath = wanted;
  loadedTime = modified;
  authorities.clear();
  if (wanted.empty()) return;
  FILE* file = std::fopen(wanted.c_str(), "rb");
  if (!file) return;
  while (X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
    authorities.emplace_back(cert);
  }
  std::fclose(file);
  ERR_clear_error();  // the read that ends the loop leaves "no start line" behind
}

void CInternetTls::Prepare(SSL_CTX* ctx, bool ignoreDates) {
  if (ignoreDates) {
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), X509_V_FLAG_NO_CHECK_TIME);
  }
  std::lock_guard guard(mutex);
  Refresh();
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  for (const auto& cert : authorities) X509_STORE_add_cert(store, cert.get());
  ERR_clear_error();  // an authority already in the store is not an error here
}
