#include "http/CdnReportSender.h"

#include <curl/curl.h>

#include <memory>

#include "platform/StringConv.h"
#include "platform/Wait.h"

namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
// The whole exchange; an endpoint that does not answer must not hold the worker for long.
constexpr long kTimeoutMs = 60000;
constexpr int kPollMs = 1000;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// The answer is not read: the first body bytes end the transfer.
size_t DiscardBody(char*, size_t, size_t, void*) {
  return 0;
}

void ApplyProxy(CURL* easy, const tagHProxyInfo& proxy) {
  switch (proxy.type) {
    case 0:  // direct, whatever the environment says
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      return;
    case 3:  // the system's settings: libcurl reads the proxy environment variables
      return;
    default:
      curl_easy_setopt(easy, CURLOPT_PROXY, WideToUtf8(proxy.host).c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYPORT, static_cast<long>(proxy.port & 0xFFFF));
      curl_easy_setopt(easy, CURLOPT_PROXYTYPE,
                       static_cast<long>(proxy.type == 2 ? CURLPROXY_SOCKS5 : CURLPROXY_HTTP));
      return;
  }
}

bool IsSignalled(const CWaitable* stop) {
  return stop && WaitForSingleObject(*stop, 0) == WAIT_OBJECT_0;
}

}  // namespace

ReportSendResult SendCdnReport(const std::wstring& url, const tagHProxyInfo& proxy,
                               const CWaitable* stop, long* errorCode) {
  *errorCode = 0;
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) return ReportSendResult::kOpenFailed;
  const std::string target = WideToUtf8(url);
  curl_easy_setopt(easy.get(), CURLOPT_URL, target.c_str());
  // The report is one request: an answer's redirect is not followed, and could lead only to
  // http if it ever were.
  curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(easy.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http");
  curl_easy_setopt(easy.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy.get(), CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, kTimeoutMs);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, DiscardBody);
  ApplyProxy(easy.get(), proxy);
  if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
    return ReportSendResult::kOpenFailed;
  }

  int running = 1;
  while (running) {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    if (!running) break;
    curl_waitfd stopFd{stop ? stop->WaitFd() : -1, CURL_WAIT_POLLIN, 0};
    curl_multi_poll(multi.get(), stop ? &stopFd : nullptr, stop ? 1 : 0, kPollMs, nullptr);
    if (IsSignalled(stop)) {
      curl_multi_remove_handle(multi.get(), easy.get());
      return ReportSendResult::kStopped;
    }
  }

  CURLcode result = CURLE_RECV_ERROR;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  }
  curl_multi_remove_handle(multi.get(), easy.get());
  if (result == CURLE_OK || result == CURLE_WRITE_ERROR) return ReportSendResult::kSent;
  *errorCode = result;
  return ReportSendResult::kRequestFailed;
}
