#include "platform/InternetRequest.h"

#include <arpa/inet.h>
#include <openssl/x509_vfy.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/InternetEngine.h"
#include "platform/InternetTls.h"
#include "platform/MessageWindow.h"
#include "platform/StringConv.h"

namespace {

// The body waits in memory for its reader up to kReceiveLimit; above it the transfer pauses
// until the reader has brought it down to kReceiveResume. One delivery of libcurl is at most
// kCurlBufferSize, so the ring always has room for the delivery that crosses the limit.
// Uploads buffer up to kSendLimit.
constexpr size_t kCurlBufferSize = 64 * 1024;
constexpr size_t kReceiveLimit = 1 << 20;
constexpr size_t kReceiveResume = 256 * 1024;
constexpr size_t kReceiveRing = kReceiveLimit + 2 * kCurlBufferSize;
constexpr size_t kSendLimit = 256 * 1024;
constexpr int kMaxRedirects = 50;
constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

// The value of the first field `name` in a response head; false when absent.
bool HeadValue(std::string_view head, std::string_view name, std::string& value) {
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    size_t start = pos + 1;
    size_t end = head.find('\n', start);
    std::string_view line =
        head.substr(start, end == std::string_view::npos ? head.npos : end - start);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name)) {
      value = Trim(line.substr(colon + 1));
      return true;
    }
    pos = end;
  }
  return false;
}

std::string HeaderName(const std::string& line) {
  return Trim(std::string_view(line).substr(0, line.find(':')));
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return EqualsNoCase(HeaderName(line), name); });
}

// Decides which field of a response head says where the body ends; false when none can.
// With Transfer-Encoding the body ends as its last coding says, and a Content-Length beside
// it is dropped from the head (as RFC 9112 asks): libcurl ignores it already, and a reader
// that took it would cut the body there. A Transfer-Encoding whose last coding is not
// "chunked" beside a Content-Length, or two Content-Length values that disagree, leave the
// body's end unknown: such a head is refused as a whole.
bool SettleBodyLength(std::string& head) {
  std::string encoding, first;
  bool lengths = false, conflicting = false;
  for (const std::string& line : HeaderLines(head)) {
    const size_t colon = line.find(':');
    if (colon == line.npos) continue;
    std::string value = Trim(std::string_view(line).substr(colon + 1));
    const std::string name = HeaderName(line);
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      encoding += encoding.empty() ? value : ", " + value;
    } else if (EqualsNoCase(name, "Content-Length")) {
      conflicting = conflicting || (lengths && value != first);
      first = std::move(value);
      lengths = true;
    }
  }
  if (encoding.empty()) return !conflicting;
  if (!lengths) return true;
  const size_t comma = encoding.rfind(',');
  if (!EqualsNoCase(Trim(comma == encoding.npos ? encoding : encoding.substr(comma + 1)),
                    "chunked")) {
    return false;
  }
  std::string settled;
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    end = end == head.npos ? head.size() : end + 1;
    std::string_view line(head.data() + start, end - start);
    const size_t colon = line.find(':');
    if (start == 0 || colon == line.npos ||
        !EqualsNoCase(Trim(line.substr(0, colon)), "Content-Length")) {
      settled.append(line);
    }
    start = end;
  }
  head = std::move(settled);
  return true;
}

const char* HeaderNameOfQuery(DWORD code) {
  switch (code) {
    case 1:
      return "Content-Type";
    case HTTP_QUERY_CONTENT_LENGTH:
      return "Content-Length";
    case HTTP_QUERY_LAST_MODIFIED:
      return "Last-Modified";
    case HTTP_QUERY_LOCATION:
      return "Location";
    case 9:
      return "Date";
    case 37:
      return "Server";
    case 42:
      return "Set-Cookie";
    default:
      return nullptr;
  }
}

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

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

// `location` resolved against `base`; empty when it cannot be. Any scheme resolves, so that
// the redirect rule can refuse it.
std::string ResolveUrl(const std::string& base, const std::string& location) {
  CURLU* handle = curl_url();
  char* url = nullptr;
  std::string result;
  constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
  if (curl_url_set(handle, CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_set(handle, CURLUPART_URL, location.c_str(), kFlags) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_URL, &url, 0) == CURLUE_OK) {
    result = url;
  }
  curl_free(url);
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

bool EnvironmentNamesProxy(const std::string& url) {
  const bool secure = url.size() >= 6 && strncasecmp(url.c_str(), "https:", 6) == 0;
  for (const char* name : {secure ? "https_proxy" : "http_proxy", secure ? "HTTPS_PROXY" : "",
                           "all_proxy", "ALL_PROXY"}) {
    const char* value = *name ? std::getenv(name) : nullptr;
    if (value && *value) return true;
  }
  return false;
}

bool ParseUnsigned(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  return true;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

CInternetRequest::CInternetRequest(std::shared_ptr<CInternetHandle> parent, Setup setup,
                                   DWORD_PTR context)
    : CInternetHandle(INTERNET_HANDLE_TYPE_HTTP_REQUEST, parent, context),
      setup(std::move(setup)),
      async(parent->Session()->IsAsync()),
      connectTimeoutMs(parent->Session()->connectTimeoutMs.load()),
      receiveTimeoutMs(parent->Session()->receiveTimeoutMs.load()),
      bodyRing(kReceiveRing),
      uploadRing(kSendLimit) {
  securityFlags = this->setup.flags &
                  (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
}

CInternetRequest::~CInternetRequest() {
  // Close has detached the transfer; this only frees what a never-closed request holds.
  if (easy) curl_easy_cleanup(easy);
  curl_slist_free_all(headerList);
}

// ---- caller side ------------------------------------------------------------------------

BOOL CInternetRequest::AddHeaders(std::string_view text, DWORD modifiers) {
  std::lock_guard guard(mutex);
  if (sent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  std::vector<std::string> lines = HeaderLines(text);
  if (lines.empty()) return Fail(ERROR_INVALID_PARAMETER);
  for (std::string& line : lines) {
    if (line.find(':') == std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
    const std::string name = HeaderName(line);
    auto same = [&](const std::string& old) { return EqualsNoCase(HeaderName(old), name); };
    bool exists = std::any_of(addedHeaders.begin(), addedHeaders.end(), same);
    if ((modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && exists) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      addedHeaders.erase(std::remove_if(addedHeaders.begin(), addedHeaders.end(), same),
                         addedHeaders.end());
    }
    addedHeaders.push_back(std::move(line));
  }
  return TRUE;
}

BOOL CInternetRequest::Send(std::string_view headers, std::string optional) {
  return Start(headers, std::move(optional), false, 0);
}

BOOL CInternetRequest::SendEx(std::string_view headers, uint64_t totalLength) {
  return Start(headers, {}, true, totalLength);
}

BOOL CInternetRequest::Start(std::string_view headers, std::string optional, bool isUpload,
                             uint64_t total) {
  std::unique_lock lock(mutex);
  if (sent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  for (std::string& line : HeaderLines(headers)) {
    if (line.find(':') != std::string::npos) addedHeaders.push_back(std::move(line));
  }
  sent = true;
  upload = isUpload;
  uploadTotal = total;
  body = std::move(optional);
  return Pend(lock, Op::kSend);
}

BOOL CInternetRequest::Pend(std::unique_lock<std::mutex>& lock, Op op, bool resume) {
  pending = op;
  opOk = false;
  opError = 0;
  lock.unlock();
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  if (op == Op::kSend) CInternetEngine::Get().Post([self] { self->Begin(); });
  if (resume) ResumeEngine();
  if (async) return Fail(ERROR_IO_PENDING);
  lock.lock();
  const DWORD limitMs = receiveTimeoutMs + (op == Op::kSend ? connectTimeoutMs : 0);
  if (!completed.wait_for(lock, std::chrono::milliseconds(limitMs),
                          [&] { return pending == Op::kNone; })) {
    pending = Op::kNone;
    pendingRead = {};
    pendingWrite = {};
    transferDone = true;
    transferError = ERROR_INTERNET_TIMEOUT;
    lock.unlock();
    CInternetEngine::Get().Call([self] { self->Detach(); });
    return Fail(ERROR_INTERNET_TIMEOUT);
  }
  return opOk ? TRUE : Fail(opError);
}

BOOL CInternetRequest::Write(const void* data, DWORD count, DWORD* written) {
  std::unique_lock lock(mutex);
  if (!upload || !sent || pending != Op::kNone) {
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  }
  if (transferDone && transferError != 0) return Fail(transferError);
  if (headersDone || transferDone) {
    // The server has answered already: the rest of the body is not wanted any more.
    *written = count;
    return TRUE;
  }
  if (uploadRing.Write(data, count)) {
    *written = count;
    bool resume = sendPaused;
    sendPaused = false;
    lock.unlock();
    if (resume) ResumeEngine();
    return TRUE;
  }
  if (count > kSendLimit) return Fail(ERROR_INVALID_PARAMETER);
  pendingWrite = {static_cast<const char*>(data), count, written};
  return Pend(lock, Op::kWrite);
}

BOOL CInternetRequest::End() {
  std::unique_lock lock(mutex);
  if (!sent || pending != Op::kNone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (headersDone) return TRUE;
  if (transferDone) return Fail(transferError);
  return Pend(lock, Op::kEnd);
}

BOOL CInternetRequest::Read(void* buffer, DWORD capacity, DWORD* length) {
  std::unique_lock lock(mutex);
  if (!sent || pending != Op::kNone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (transferDone && bodyRing.Size() == 0) {
    if (transferError != 0) return Fail(transferError);
    *length = 0;
    return TRUE;
  }
  // As in WinINet, a read fills the whole buffer unless the body ends first; what is here
  // already goes in now and the rest as it arrives.
  const DWORD taken = static_cast<DWORD>(bodyRing.Read(buffer, capacity));
  const bool resume = recvPaused && bodyRing.Size() <= kReceiveResume;
  if (resume) recvPaused = false;
  if (taken == capacity || transferDone) {
    *length = taken;
    lock.unlock();
    if (resume) ResumeEngine();
    return TRUE;
  }
  pendingRead = {static_cast<char*>(buffer), capacity, length, taken};
  return Pend(lock, Op::kRead, resume);
}

void CInternetRequest::ResumeEngine() {
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  CInternetEngine::Get().Post([self] {
    if (self->attached) curl_easy_pause(self->easy, CURLPAUSE_CONT);
  });
}

bool CInternetRequest::FindHeader(std::string_view name, std::string& value) const {
  return HeadValue(rawHead, name, value);
}

BOOL CInternetRequest::Query(DWORD level, void* buffer, DWORD* length, bool wide) {
  if (!length) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD code = level & 0xFFFF;
  std::string text;
  {
    std::lock_guard guard(mutex);
    if (!headersDone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (code == HTTP_QUERY_STATUS_CODE) {
      text = std::to_string(status);
    } else if (code == HTTP_QUERY_RAW_HEADERS_CRLF) {
      text = rawHead;
    } else if (code == HTTP_QUERY_STATUS_TEXT) {
      std::string line = rawHead.substr(0, rawHead.find('\r'));
      size_t first = line.find(' ');
      size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
      text = second == std::string::npos ? "" : line.substr(second + 1);
    } else {
      const char* name = HeaderNameOfQuery(code);
      if (!name) return Fail(ERROR_INTERNET_INVALID_OPTION);
      if (!FindHeader(name, text)) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
  }
  if (level & HTTP_QUERY_FLAG_SYSTEMTIME) {
    time_t when = curl_getdate(text.c_str(), nullptr);
    if (when < 0) return Fail(ERROR_HTTP_INVALID_HEADER);
    if (!buffer || *length < sizeof(SYSTEMTIME)) {
      *length = sizeof(SYSTEMTIME);
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    tm parts{};
    ::gmtime_r(&when, &parts);
    SYSTEMTIME* out = static_cast<SYSTEMTIME*>(buffer);
    out->wYear = static_cast<uint16_t>(parts.tm_year + 1900);
    out->wMonth = static_cast<uint16_t>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    out->wDay = static_cast<uint16_t>(parts.tm_mday);
    out->wHour = static_cast<uint16_t>(parts.tm_hour);
    out->wMinute = static_cast<uint16_t>(parts.tm_min);
    out->wSecond = static_cast<uint16_t>(parts.tm_sec);
    out->wMilliseconds = 0;
    *length = sizeof(SYSTEMTIME);
    return TRUE;
  }
  if (level & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) {
    uint64_t value = 0;
    const bool wide64 = (level & HTTP_QUERY_FLAG_NUMBER64) != 0;
    if (!ParseUnsigned(text, value) || (!wide64 && value > 0xFFFFFFFFull)) {
      return Fail(ERROR_HTTP_INVALID_HEADER);
    }
    const DWORD size = wide64 ? 8 : 4;
    if (!buffer || *length < size) {
      *length = size;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (wide64) {
      std::memcpy(buffer, &value, 8);
    } else {
      DWORD narrow = static_cast<DWORD>(value);
      std::memcpy(buffer, &narrow, 4);
    }
    *length = size;
    return TRUE;
  }
  if (wide) {
    std::wstring w = Utf8ToWide(text);
    const DWORD needed = static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
      *length = needed;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, w.c_str(), needed);
    *length = needed - sizeof(wchar_t);
    return TRUE;
  }
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (!buffer || *length < needed) {
    *length = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, text.c_str(), needed);
  *length = needed - 1;
  return TRUE;
}

BOOL CInternetRequest::SetOption(DWORD option, const void* buffer, DWORD length) {
  std::lock_guard guard(mutex);
  switch (option) {
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&securityFlags, buffer, sizeof(DWORD));
      return TRUE;
    case INTERNET_OPTION_CONNECT_RETRIES:
      // Accepted as WinINet does; libcurl tries each resolved address once.
      if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&connectRetries, buffer, sizeof(DWORD));
      return TRUE;
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
      const wchar_t* text = static_cast<const wchar_t*>(buffer);
      std::wstring value = length == 0 ? std::wstring(text) : std::wstring(text, length);
      value = value.substr(0, value.find(L'\0'));
      (option == INTERNET_OPTION_PROXY_USERNAME ? proxyUser : proxyPassword) = WideToUtf8(value);
      return TRUE;
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

BOOL CInternetRequest::QueryOption(DWORD option, void* buffer, DWORD* length) {
  if (option != INTERNET_OPTION_SECURITY_FLAGS) return Fail(ERROR_INTERNET_INVALID_OPTION);
  if (!buffer || !length || *length < sizeof(DWORD)) {
    if (length) *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::lock_guard guard(mutex);
  std::memcpy(buffer, &securityFlags, sizeof(DWORD));
  *length = sizeof(DWORD);
  return TRUE;
}

void CInternetRequest::Close() {
  {
    // Waits for a status being reported right now; none is reported after this.
    std::lock_guard guard(notifyLock);
    notifyClosed = true;
  }
  // The transfer is taken down later on the engine thread; nothing of it reaches the caller
  // any more, so the caller need not wait for that. A finished transfer holds no connection,
  // so its handle can wait until the engine wakes anyway.
  bool finished;
  {
    std::lock_guard guard(mutex);
    finished = transferDone;
  }
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  auto takeDown = [self] {
    self->closed = true;
    self->Detach();
  };
  if (finished) {
    CInternetEngine::Get().PostLazy(std::move(takeDown));
  } else {
    CInternetEngine::Get().Post(std::move(takeDown));
  }
  {
    std::lock_guard guard(mutex);
    pending = Op::kNone;
    pendingRead = {};
    pendingWrite = {};
    transferDone = true;
    if (transferError == 0 && !headersDone) transferError = ERROR_INTERNET_OPERATION_CANCELLED;
  }
  completed.notify_all();
}

// ---- engine side ------------------------------------------------------------------------

void CInternetRequest::Detach() {
  if (attached) CInternetEngine::Get().Remove(easy);
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
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  if (Configure() && CInternetEngine::Get().Add(easy, self)) {
    attached = true;
    return;
  }
  std::unique_lock lock(mutex);
  transferDone = true;
  transferError = ERROR_INTERNET_INTERNAL_ERROR;
  Complete(lock, false, transferError);
}

bool CInternetRequest::Configure() {
  easy = curl_easy_init();
  if (!easy) return false;
  CInternetSession* session = Session();
  std::vector<std::string> lines = hop.headerLines;
  if ((setup.flags & INTERNET_FLAG_PRAGMA_NOCACHE) && !HasHeader(lines, "Pragma")) {
    lines.push_back("Pragma: no-cache");
  }
  if (!setup.accept.empty() && !HasHeader(lines, "Accept")) {
    lines.push_back("Accept: " + setup.accept);
  }
  // WinINet sends neither of these unless asked to.
  if (!HasHeader(lines, "Content-Type")) lines.push_back("Content-Type:");
  lines.push_back("Expect:");
  for (const std::string& line : lines) headerList = curl_slist_append(headerList, line.c_str());

  curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy, CURLOPT_URL, hop.url.c_str());
  // Redirects are followed here, hop by hop (FollowRedirect), never by libcurl; neither the
  // request nor a hop may speak anything but http and https.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_SHARE, CInternetEngine::Get().Share());
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kCurlBufferSize));
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   setup.version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, session->Agent().c_str());
  if (!setup.referrer.empty()) curl_easy_setopt(easy, CURLOPT_REFERER, setup.referrer.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  if (!hop.user.empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, hop.user.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, hop.password.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  }

  if (upload && hop.hasBody) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CInternetRequest::ReadThunk);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(uploadTotal));
  } else if (hop.verb == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (hop.verb == "GET" && body.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
  }
  if (hop.verb != "GET" && hop.verb != "HEAD" && hop.verb != "POST") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, hop.verb.c_str());
  } else if (hop.verb == "GET" && !body.empty()) {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
  }

  ConfigureProxy(*session);

  DWORD security;
  {
    std::lock_guard guard(mutex);
    security = securityFlags;
  }
  const bool ignoreCn = (setup.flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) ||
                        (security & SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER,
                   (security & SECURITY_FLAG_IGNORE_UNKNOWN_CA) ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, ignoreCn ? 0L : 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &CInternetRequest::SslCtxThunk);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);

  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CInternetRequest::HeaderThunk);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CInternetRequest::BodyThunk);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, &CInternetRequest::ResolverStartThunk);
  curl_easy_setopt(easy, CURLOPT_RESOLVER_START_DATA, this);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CInternetRequest::OpenSocketThunk);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &CInternetRequest::PrereqThunk);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
  return true;
}

void CInternetRequest::ConfigureProxy(const CInternetSession& session) {
  const CInternetSession::Proxy& proxy = session.ProxySettings();
  std::string user, password;
  {
    std::lock_guard guard(mutex);
    user = proxyUser;
    password = proxyPassword;
  }
  viaProxy = false;
  switch (proxy.mode) {
    case CInternetSession::Proxy::Mode::kDirect:
      // An empty proxy also keeps libcurl from reading the proxy environment variables.
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      return;
    case CInternetSession::Proxy::Mode::kEnvironment:
      // libcurl reads http_proxy, https_proxy, all_proxy and no_proxy itself; no_proxy is
      // not weighed here, which only words a failure as the proxy's.
      viaProxy = EnvironmentNamesProxy(hop.url);
      break;
    case CInternetSession::Proxy::Mode::kNamed:
      viaProxy = !proxy.socksProxy.empty() || !proxy.httpProxy.empty();
      if (!proxy.socksProxy.empty()) {
        curl_easy_setopt(easy, CURLOPT_PROXY, ("socks5://" + proxy.socksProxy).c_str());
      } else if (!proxy.httpProxy.empty()) {
        curl_easy_setopt(easy, CURLOPT_PROXY, ("http://" + proxy.httpProxy).c_str());
      } else {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
      }
      if (!proxy.bypass.empty()) curl_easy_setopt(easy, CURLOPT_NOPROXY, proxy.bypass.c_str());
      break;
  }
  if (!user.empty() || !password.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, user.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
  }
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
  std::string_view line(data, length);
  if (line.substr(0, 5) == "HTTP/") {
    currentHead.clear();
    size_t space = line.find(' ');
    currentStatus = space == line.npos ? 0 : std::atoi(std::string(line.substr(space + 1)).c_str());
  }
  currentHead.append(line);
  if (line != "\r\n" && line != "\n") return length;
  if (currentStatus >= 100 && currentStatus < 200) {
    currentHead.clear();  // an interim answer such as 100 Continue
    return length;
  }
  if (!SettleBodyLength(currentHead)) return 0;  // libcurl ends the transfer with an error
  std::string location;
  const bool replayable = !upload || (currentStatus != 307 && currentStatus != 308);
  if (!(setup.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) && IsRedirectStatus(currentStatus) &&
      replayable && HeadValue(currentHead, "Location", location)) {
    redirectTarget = ResolveUrl(hop.url, location);
    if (!redirectTarget.empty()) return length;  // its body is skipped, then followed
  }
  std::unique_lock lock(mutex);
  status = currentStatus;
  rawHead = currentHead;
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
  if (DWORD refused = NextHop(hop, currentStatus, target, toHttp, next)) return refused;
  if (!next.hasBody) body.clear();
  hop = std::move(next);
  currentHead.clear();
  resolving = resolved = connecting = false;
  NotifyText(INTERNET_STATUS_REDIRECT, hop.url);
  if (closed) return 0;
  // Each hop gets a new handle. libcurl 7.88 keeps a pointer to the last header of a handle's
  // previous transfer, and a next answer that opens with a folded header line would be
  // appended to that freed header.
  curl_easy_cleanup(easy);
  easy = nullptr;
  curl_slist_free_all(headerList);
  headerList = nullptr;
  auto self = std::static_pointer_cast<CInternetRequest>(shared_from_this());
  if (!Configure() || !CInternetEngine::Get().Add(easy, self)) {
    return ERROR_INTERNET_INTERNAL_ERROR;
  }
  attached = true;
  return 0;
}

void CInternetRequest::OnTransferDone(CURLcode result) {
  attached = false;
  if (closed) return;
  DWORD refused = 0;
  if (result == CURLE_OK && !redirectTarget.empty()) {
    refused = FollowRedirect();
    if (refused == 0) return;
  }
  std::unique_lock lock(mutex);
  transferDone = true;
  // A body cut short is an end of data to the reader, as in WinINet; the reader compares the
  // length it got with the length announced.
  const bool clean = result == CURLE_OK || (headersDone && result == CURLE_PARTIAL_FILE);
  transferError = refused ? refused : clean ? 0 : MapCurlError(result, easy, viaProxy);
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

// ---- libcurl callbacks --------------------------------------------------------------------

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

CURLcode CInternetRequest::SslCtxThunk(CURL*, void* sslContext, void* self) {
  auto* request = static_cast<CInternetRequest*>(self);
  DWORD security;
  {
    std::lock_guard guard(request->mutex);
    security = request->securityFlags;
  }
  const bool ignoreDates = (request->setup.flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID) ||
                           (security & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID);
  CInternetTls::Get().Prepare(static_cast<SSL_CTX*>(sslContext), ignoreDates);
  return CURLE_OK;
}
