#include "platform/wininet/InternetRequest_linux.h"

#include <arpa/inet.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/win32/StringConv.h"
#include "platform/wininet/InternetEngine_linux.h"

namespace {

std::string HostOf(const std::string& url) {
  CURLU* handle = curl_url();
  char* host = nullptr;
  std::string result;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    result = host;
  }
  curl_free(host);
  curl_url_cleanup(handle);
  return result;
}

std::string AddressText(const curl_sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_addr, text,
                sizeof text);
  } else if (address->family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_addr, text,
                sizeof text);
  }
  return text;
}

// `viaProxy`: libcurl's connections went to a proxy, so a failed connect is the proxy's.
DWORD MapCurlError(CURLcode code, CURL* easy, bool viaProxy) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_PROXY_SERVER_UNREACHABLE;
    case CURLE_COULDNT_CONNECT: {
      if (viaProxy) return ERROR_INTERNET_PROXY_SERVER_UNREACHABLE;
      // A refused connect fails at once; one the network dropped ends by the kernel's timer.
      long osError = 0;
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
      return osError == ETIMEDOUT ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CANNOT_CONNECT;
    }
    case CURLE_PROXY:
      return ERROR_INTERNET_CANNOT_CONNECT;  // the proxy could not reach the server
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_INTERNET_INVALID_SERVER_RESPONSE;
    case CURLE_SSL_CONNECT_ERROR:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE: {
      long result = X509_V_OK;
      curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &result);
      // The host name is checked by libcurl after the chain verified; its result then stays
      // at X509_V_OK or at the "unspecified" it starts from.
      if (result == X509_V_OK || result == X509_V_ERR_UNSPECIFIED ||
          result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
      }
      if (result == X509_V_ERR_CERT_HAS_EXPIRED || result == X509_V_ERR_CERT_NOT_YET_VALID) {
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
      }
      return ERROR_INTERNET_INVALID_CA;
    }
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: {
      // An HTTP proxy that answers CONNECT with an error status would not reach the server.
      long connectStatus = 0;
      curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
      if (connectStatus >= 300) return ERROR_INTERNET_CANNOT_CONNECT;
      return ERROR_INTERNET_CONNECTION_RESET;
    }
    default:
      return ERROR_INTERNET_CONNECTION_ABORTED;
  }
}

}  // namespace

void CInternetRequest::Detach() {
  // A look-up still running ends too; its answer then finds the transfer over.
  if (proxyLookup) proxyLookup->Cancel();
  if (attached) engine->Remove(easy);
  attached = false;
  if (easy) curl_easy_cleanup(easy);
  easy = nullptr;
  curl_slist_free_all(headerList);
  headerList = nullptr;
}

void CInternetRequest::Begin() {
  if (closed) return;
  hop.url = setup.url;
  hop.verb = setup.verb;
  hop.user = setup.user;
  hop.password = setup.password;
  {
    std::lock_guard guard(mutex);
    hop.hasBody = upload || !body.empty();
    hop.headerLines = addedHeaders;
  }
  if (DWORD error = Attach()) Finish(error);
}

DWORD CInternetRequest::Attach() {
  if (Session()->ProxySettings().mode == CInternetSession::Proxy::Mode::kSystem && !proxyKnown) {
    // Looked up off this thread: fetching and running a PAC script may take long, and this
    // thread must stay free to see a stop meanwhile.
    auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
    std::shared_ptr<CInternetEngine> owner = engine;
    proxyLookup =
        CSystemProxyResolver::Lookup(hop.url, [self, owner](CSystemProxyResolver::Answer answer) {
          owner->Post([self, answer = std::move(answer)]() mutable {
            self->OnProxyAnswer(std::move(answer));
          });
        });
    return 0;
  }
  if (DWORD error = Configure()) return error;
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  if (!engine->Add(easy, std::move(self))) return ERROR_INTERNET_INTERNAL_ERROR;
  attached = true;
  return 0;
}

DWORD CInternetRequest::Reattach() {
  // A new handle each time. libcurl 7.88 keeps a pointer to the last header of a handle's
  // previous transfer, and a next answer that opens with a folded header line would be
  // appended to that freed header.
  curl_easy_cleanup(easy);
  easy = nullptr;
  curl_slist_free_all(headerList);
  headerList = nullptr;
  return Attach();
}

void CInternetRequest::OnProxyAnswer(CSystemProxyResolver::Answer answer) {
  // Once the thread has ended its engine runs posts on the posting thread; the transfer went
  // with the thread.
  if (!engine->IsOwnerThread()) return;
  proxyLookup.reset();
  if (closed) return;
  {
    std::lock_guard guard(mutex);
    if (transferDone) return;  // a synchronous wait gave up on it
  }
  if (answer.kind == CSystemProxyResolver::Answer::Kind::kFailed) {
    // The settings name no proxy that could be used: going direct instead could bypass the
    // only way out the user chose.
    Finish(ERROR_INTERNET_PROXY_SERVER_UNREACHABLE);
    return;
  }
  systemProxy = std::move(answer);
  proxyKnown = true;
  proxyChoice = 0;
  if (DWORD error = Attach()) Finish(error);
}

bool CInternetRequest::HasNextProxy(CURLcode result) {
  if (!proxyKnown || Session()->ProxySettings().mode != CInternetSession::Proxy::Mode::kSystem ||
      systemProxy.kind != CSystemProxyResolver::Answer::Kind::kProxies ||
      proxyChoice + 1 >= systemProxy.proxies.size() || headersDone) {
    return false;
  }
  // These fail before the request has left: nothing of it reached the server.
  return result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_PROXY ||
         result == CURLE_PROXY;
}

void CInternetRequest::Complete(std::unique_lock<std::mutex>& lock, bool ok, DWORD error) {
  pending = Op::kNone;
  opOk = ok;
  opError = error;
  lock.unlock();
  completed.notify_all();
  if (async) {
    INTERNET_ASYNC_RESULT result{ok ? 1u : 0u, error};
    NotifyFromEngine(INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof result);
  }
}

void CInternetRequest::NotifyFromEngine(DWORD status, void* information, DWORD length) {
  std::lock_guard guard(notifyLock);
  if (!notifyClosed) Notify(status, information, length);
}

void CInternetRequest::NotifyText(DWORD code, const std::string& text) {
  std::wstring wide = Utf8ToWide(text);
  NotifyFromEngine(code, const_cast<wchar_t*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

size_t CInternetRequest::OnHeaderLine(const char* data, size_t length) {
  if (!currentHead.AddLine(std::string_view(data, length))) return length;
  if (currentHead.IsInterim()) {
    currentHead.Clear();  // an interim answer such as 100 Continue
    return length;
  }
  if (!currentHead.SettleBodyLength()) return 0;  // libcurl ends the transfer with an error
  const int code = currentHead.Status();
  std::string location;
  const bool replayable = !upload || (code != 307 && code != 308);
  if (!(setup.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) && currentHead.IsRedirect() && replayable &&
      currentHead.Find("Location", location)) {
    redirectTarget = ResolveLocation(hop.url, location);
    if (!redirectTarget.empty()) return length;  // its body is skipped, then followed
  }
  std::unique_lock lock(mutex);
  head = currentHead;
  headersDone = true;
  if (pending == Op::kSend || pending == Op::kEnd) {
    Complete(lock, true, 0);
  } else if (pending == Op::kWrite) {
    *pendingWrite.written = pendingWrite.count;
    pendingWrite = {};
    Complete(lock, true, 0);
  }
  return length;
}

size_t CInternetRequest::OnBody(const char* data, size_t length) {
  if (!redirectTarget.empty()) return length;
  std::unique_lock lock(mutex);
  if (bodyRing.Size() >= kReceiveLimit || bodyRing.Free() < length) {
    recvPaused = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps the data and hands it again on resume
  }
  // A waiting reader gets the data straight into its buffer, and is done once the buffer is
  // full; the rest waits in the ring.
  size_t used = 0;
  bool filled = false;
  if (pending == Op::kRead) {
    used = std::min<size_t>(length, pendingRead.capacity - pendingRead.filled);
    std::memcpy(pendingRead.buffer + pendingRead.filled, data, used);
    pendingRead.filled += static_cast<DWORD>(used);
    filled = pendingRead.filled == pendingRead.capacity;
    if (filled) {
      *pendingRead.length = pendingRead.filled;
      pendingRead = {};
    }
  }
  if (!bodyRing.Write(data + used, length - used)) {
    lock.unlock();
    return CURL_WRITEFUNC_ERROR;  // out of memory for the ring
  }
  if (filled) Complete(lock, true, 0);
  return length;
}

size_t CInternetRequest::OnUploadRead(char* out, size_t length) {
  std::unique_lock lock(mutex);
  if (uploadRing.Size() == 0) {
    sendPaused = true;
    return CURL_READFUNC_PAUSE;
  }
  size_t copied = uploadRing.Read(out, length);
  if (pending == Op::kWrite && uploadRing.Write(pendingWrite.data, pendingWrite.count)) {
    *pendingWrite.written = pendingWrite.count;
    pendingWrite = {};
    Complete(lock, true, 0);
  }
  return copied;
}

void CInternetRequest::OnResolverStart() {
  if (resolving) return;
  resolving = true;
  NotifyText(INTERNET_STATUS_RESOLVING_NAME, HostOf(hop.url));
}

curl_socket_t CInternetRequest::OnOpenSocket(curlsocktype purpose, curl_sockaddr* address) {
  if (purpose == CURLSOCKTYPE_IPCXN) {
    // A literal address or a cached name gives no resolver start; WinINet still reports both.
    OnResolverStart();
    const std::string ip = AddressText(address);
    if (!resolved) {
      resolved = true;
      NotifyText(INTERNET_STATUS_NAME_RESOLVED, ip);
    }
    if (!connecting) {
      connecting = true;
      NotifyText(INTERNET_STATUS_CONNECTING_TO_SERVER, ip);
    }
  }
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void CInternetRequest::OnPrerequest() {
  if (connecting) {
    char* ip = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip);
    NotifyText(INTERNET_STATUS_CONNECTED_TO_SERVER, ip ? ip : "");
  }
  NotifyFromEngine(INTERNET_STATUS_SENDING_REQUEST, nullptr, 0);
  NotifyFromEngine(INTERNET_STATUS_REQUEST_SENT, nullptr, 0);
  std::unique_lock lock(mutex);
  if (upload && pending == Op::kSend) Complete(lock, true, 0);
}

DWORD CInternetRequest::FollowRedirect() {
  if (++redirects > kMaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
  const std::string target = std::move(redirectTarget);
  redirectTarget.clear();
  HttpHop next;
  const bool toHttp = (setup.flags & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0;
  if (DWORD refused = NextHop(hop, currentHead.Status(), target, toHttp, next)) return refused;
  if (!next.hasBody) body.clear();
  hop = std::move(next);
  currentHead.Clear();
  resolving = resolved = connecting = false;
  NotifyText(INTERNET_STATUS_REDIRECT, hop.url);
  if (closed) return 0;
  proxyKnown = false;  // the system's settings may send the new URL another way
  return Reattach();
}

void CInternetRequest::OnTransferDone(CURLcode result) {
  attached = false;
  if (closed) return;
  DWORD refused = 0;
  if (result == CURLE_OK && !redirectTarget.empty()) {
    refused = FollowRedirect();
    if (refused == 0) return;
  } else if (HasNextProxy(result)) {
    ++proxyChoice;
    refused = Reattach();
    if (refused == 0) return;
  }
  // A body cut short of its announced length is an end of data to the reader, as in WinINet;
  // the reader compares the length it got with that length. A chunked body cut before its
  // last chunk leaves the reader nothing to compare: the connection was lost (MapCurlError).
  std::string length;
  const bool clean = result == CURLE_OK || (headersDone && result == CURLE_PARTIAL_FILE &&
                                            head.Find("Content-Length", length));
  Finish(refused ? refused : clean ? 0 : MapCurlError(result, easy, viaProxy));
}

void CInternetRequest::Finish(DWORD error) {
  std::unique_lock lock(mutex);
  transferDone = true;
  transferError = error;
  if (!headersDone && transferError == 0) transferError = ERROR_INTERNET_INVALID_SERVER_RESPONSE;
  switch (pending) {
    case Op::kSend:
    case Op::kEnd:
      Complete(lock, false, transferError);
      break;
    case Op::kRead: {
      // Bytes already in the buffer are delivered; a failure shows at the next read.
      const bool ok = transferError == 0 || pendingRead.filled > 0;
      if (ok) *pendingRead.length = pendingRead.filled;
      pendingRead = {};
      Complete(lock, ok, ok ? 0 : transferError);
      break;
    }
    case Op::kWrite:
      if (transferError == 0) *pendingWrite.written = pendingWrite.count;
      pendingWrite = {};
      Complete(lock, transferError == 0, transferError);
      break;
    case Op::kNone:
      break;
  }
}

size_t CInternetRequest::HeaderThunk(char* data, size_t size, size_t count, void* self) {
  return static_cast<CInternetRequest*>(self)->OnHeaderLine(data, size * count);
}

size_t CInternetRequest::BodyThunk(char* data, size_t size, size_t count, void* self) {
  return static_cast<CInternetRequest*>(self)->OnBody(data, size * count);
}

size_t CInternetRequest::ReadThunk(char* out, size_t size, size_t count, void* self) {
  return static_cast<CInternetRequest*>(self)->OnUploadRead(out, size * count);
}

int CInternetRequest::ResolverStartThunk(void*, void*, void* self) {
  static_cast<CInternetRequest*>(self)->OnResolverStart();
  return 0;
}

curl_socket_t CInternetRequest::OpenSocketThunk(void* self, curlsocktype purpose,
                                                curl_sockaddr* address) {
  return static_cast<CInternetRequest*>(self)->OnOpenSocket(purpose, address);
}

int CInternetRequest::PrereqThunk(void* self, char*, char*, int, int) {
  static_cast<CInternetRequest*>(self)->OnPrerequest();
  return CURL_PREREQFUNC_OK;
}
