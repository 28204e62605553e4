// A stand-in WinINet request: one HTTP exchange run on a libcurl easy handle by the engine of
// the thread that sent it (the owning thread).
//
// Threads: the caller's threads run the WinINet calls (one at a time, as WinINet requires);
// the owning thread's engine runs every libcurl call and callback, inside that thread's waits
// (an asynchronous request progresses while its thread waits, a synchronous call runs it
// itself), and completes pending operations there. `engine` is set once by the send, under
// `mutex`. `mutex` guards the exchange state below it (response head, body and upload buffers,
// the pending operation and its caller's buffers); `easy`, `headerList` and the fields marked
// "engine" are touched only by the engine's work. Close from another thread posts the
// take-down to the owning thread. Statuses go to the callback under `notifyLock` and without
// `mutex` held; none goes after Close has returned. The caller's buffers of a pending read or
// write are written only under `mutex` and never after Close has returned.
//
// The definitions span files by part: InternetRequest_linux.cpp the caller's calls,
// InternetRequestQuery_linux.cpp the response head and option queries,
// InternetRequestTransfer_linux.cpp the engine side of the exchange, InternetRequestCurl_linux.cpp
// the set-up of the libcurl handle.
#ifndef ZVNET_PLATFORM_WININET_INTERNETREQUEST_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETREQUEST_LINUX_H_

#include <curl/curl.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wininet/ByteRing_linux.h"
#include "platform/wininet/EngineTransfer_linux.h"
#include "platform/wininet/HttpRedirect.h"
#include "platform/wininet/HttpResponseHead_linux.h"
#include "platform/wininet/InternetEngine_linux.h"
#include "platform/wininet/InternetHandle_linux.h"
#include "platform/wininet/InternetSession_linux.h"
#include "platform/wininet/SystemProxyResolver_linux.h"

class CInternetRequest : public CInternetHandle, public CEngineTransfer {
 public:
  struct Setup {
    std::string verb = "GET";
    std::string url;  // absolute
    std::string version = "HTTP/1.1";
    std::string referrer;
    std::string accept;  // Accept header value, empty for none
    DWORD flags = 0;
    std::string user, password;  // server credentials
  };

  CInternetRequest(std::shared_ptr<CInternetHandle> parent, Setup setup, DWORD_PTR context);
  ~CInternetRequest() override;

  // Caller side. Each answers TRUE, or FALSE with the error set (ERROR_IO_PENDING for an
  // operation that completes later through status 100).
  BOOL AddHeaders(std::string_view text, DWORD modifiers);
  BOOL Send(std::string_view headers, std::string body);
  BOOL SendEx(std::string_view headers, uint64_t totalLength);
  BOOL Write(const void* data, DWORD count, DWORD* written);
  BOOL End();
  BOOL Read(void* buffer, DWORD capacity, DWORD* length);
  BOOL Query(DWORD level, void* buffer, DWORD* length, bool wide);
  BOOL SetOption(DWORD option, const void* buffer, DWORD length);
  BOOL QueryOption(DWORD option, void* buffer, DWORD* length);
  void Close() override;

  // Engine side.
  void OnTransferDone(CURLcode result) override;

 private:
  // The body waits in memory for its reader up to kReceiveLimit; above it the transfer
  // pauses until the reader has brought it down to kReceiveResume. One delivery of libcurl is
  // at most kCurlBufferSize, so the ring always has room for the delivery that crosses the
  // limit. Uploads buffer up to kSendLimit.
  static constexpr size_t kCurlBufferSize = 64 * 1024;
  static constexpr size_t kReceiveLimit = 1 << 20;
  static constexpr size_t kReceiveResume = 256 * 1024;
  static constexpr size_t kReceiveRing = kReceiveLimit + 2 * kCurlBufferSize;
  static constexpr size_t kSendLimit = 256 * 1024;
  static constexpr int kMaxRedirects = 20;  // as browsers

  enum class Op { kNone, kSend, kWrite, kEnd, kRead };
  struct PendingRead {
    char* buffer = nullptr;
    DWORD capacity = 0;
    DWORD* length = nullptr;
    DWORD filled = 0;  // bytes already in `buffer`
  };
  struct PendingWrite {
    const char* data = nullptr;
    DWORD count = 0;
    DWORD* written = nullptr;
  };

  // Caller side helpers.
  BOOL Start(std::string_view headers, std::string body, bool upload, uint64_t total);
  // Leaves `op` pending (lock held on entry, released on return); `resume` also lets a
  // paused transfer go on.
  BOOL Pend(std::unique_lock<std::mutex>& lock, Op op, bool resume = false);
  void ResumeEngine();
  // Waits for a synchronous operation, running the transfer when this is its thread; false
  // when `limitMs` passed first.
  bool AwaitSync(DWORD limitMs);

  // Engine side helpers.
  void Begin();
  // Makes the easy handle for the current hop and hands it to the engine, first looking up
  // the system's proxies for the hop when the session follows them; answers 0, or the error
  // that ends the transfer.
  DWORD Attach();
  // Attach again on a new handle, after a hop or a proxy that failed.
  DWORD Reattach();
  void Detach();
  // The system's proxies for the current hop have been looked up.
  void OnProxyAnswer(CSystemProxyResolver::Answer answer);
  // Whether a transfer that failed with `result` goes on through the next of the system's
  // proxies: its connection to the current one failed, and another is left.
  bool HasNextProxy(CURLcode result);
  // Ends the transfer with `error` (0 for a clean end) and completes the pending operation.
  void Finish(DWORD error);
  // Set-up of the easy handle (InternetRequestCurl_linux.cpp). Configure answers 0, or the error
  // that ends the transfer when an option that matters could not be set; the others answer
  // the first failure of their group.
  DWORD Configure();
  bool BuildHeaderList();
  CURLcode ConfigureBasics(const CInternetSession& session);
  CURLcode ConfigureVerb();
  CURLcode ConfigureProxy(const CInternetSession& session);
  CURLcode ConfigureTls();
  CURLcode ConfigureCallbacks();
  // Completes the pending operation (lock held on entry, released on return) and reports
  // status 100 in an asynchronous session.
  void Complete(std::unique_lock<std::mutex>& lock, bool ok, DWORD error);
  // Moves to the next hop of a redirect on a new handle; answers 0, or the error that ends
  // the transfer.
  DWORD FollowRedirect();
  size_t OnHeaderLine(const char* data, size_t length);
  size_t OnBody(const char* data, size_t length);
  size_t OnUploadRead(char* out, size_t length);
  void OnResolverStart();
  curl_socket_t OnOpenSocket(curlsocktype purpose, curl_sockaddr* address);
  void OnPrerequest();
  // Reports a status of the transfer unless the request was closed.
  void NotifyFromEngine(DWORD status, void* information, DWORD length);
  void NotifyText(DWORD status, const std::string& text);

  static size_t HeaderThunk(char* data, size_t size, size_t count, void* self);
  static size_t BodyThunk(char* data, size_t size, size_t count, void* self);
  static size_t ReadThunk(char* out, size_t size, size_t count, void* self);
  static int ResolverStartThunk(void*, void*, void* self);
  static curl_socket_t OpenSocketThunk(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int PrereqThunk(void* self, char*, char*, int, int);
  static CURLcode SslCtxThunk(CURL*, void* sslContext, void* self);

  const Setup setup;
  const bool async;
  const DWORD connectTimeoutMs;
  const DWORD receiveTimeoutMs;

  // Caller thread only, before the request is sent.
  std::vector<std::string> addedHeaders;
  DWORD securityFlags = 0;
  DWORD connectRetries = 0;
  std::string proxyUser, proxyPassword;
  bool sent = false;

  // Engine.
  std::shared_ptr<CInternetEngine> engine;  // written once, by the send
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::string body;
  HttpHop hop;                    // what the current request of the redirect chain sends
  CHttpResponseHead currentHead;  // the head arriving now, interim and redirect ones too
  std::string redirectTarget;
  int redirects = 0;
  bool viaProxy = false;  // connections go to a proxy
  // The system's proxies for the current hop, once looked up, and the one in use.
  std::unique_ptr<CSystemProxyResolver::CTicket> proxyLookup;  // while a look-up runs
  bool proxyKnown = false;
  CSystemProxyResolver::Answer systemProxy;
  size_t proxyChoice = 0;
  bool resolving = false;
  bool resolved = false;
  bool connecting = false;
  bool attached = false;
  bool closed = false;

  // Held while the engine reports a status, so that Close can wait for one in progress.
  // Recursive: a status callback may close the request on the owning thread.
  std::recursive_mutex notifyLock;
  bool notifyClosed = false;

  mutable std::mutex mutex;
  std::condition_variable completed;
  bool upload = false;
  uint64_t uploadTotal = 0;
  Op pending = Op::kNone;
  bool opOk = false;
  DWORD opError = 0;
  bool headersDone = false;  // the final response's head has arrived
  bool transferDone = false;
  DWORD transferError = 0;  // 0 while running or after a clean end
  CHttpResponseHead head;   // the final response's, once `headersDone`
  CByteRing bodyRing;
  bool recvPaused = false;
  PendingRead pendingRead;
  CByteRing uploadRing;
  bool sendPaused = false;
  PendingWrite pendingWrite;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETREQUEST_LINUX_H_
