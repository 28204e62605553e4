#include "http/HttpTask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include "frame/Log.h"
#include "frame/SplitUrl.h"
#include "http/CdnReport.h"
#include "http/HttpTaskRegistry.h"
#include "http/HttpTaskService.h"
#include "platform/Clock.h"
#include "platform/HttpRedirect.h"
#include "platform/MessageWindow.h"
#include "platform/PostBatch.h"
#include "platform/StringConv.h"
#include "platform/UniqueFd.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
constexpr wchar_t kUrlBlanks[] = L"\r\n\t ";
constexpr wchar_t kPathBlanks[] = L" \t";
// The certificate chain and the host name are verified; only the validity dates are
// tolerated, because user machines often have wrong clocks.
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
constexpr DWORD kPlainFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kConnectFlags = INTERNET_FLAG_RELOAD;
constexpr DWORD kUploadPiece = 1024;
constexpr DWORD kAnswerPiece = 4096;
constexpr DWORD kUploadConnectRetries = 3;
constexpr int kUploadAttempts = 3;
constexpr size_t kSaveFileBuffer = 1 << 20;
// At most this many messages (1 MiB of body in progress reports) or this much time between
// hand-overs.
constexpr size_t kHeldMessages = 32;
constexpr DWORD kHoldMs = 10;

// The messages that end a task's reports: everything held goes with them at once.
bool EndsReports(UINT message) {
  return message == WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE ||
         message == WM_HTTPDOWNLOAD_UPLOAD_COMPLETE || message == WM_HTTPDOWNLOAD_THREAD_QUIT;
}
constexpr uint64_t kMaxMemoryBody = 0xFFFFFFFFull;  // what tagDataOut::dataLength can carry

long DeliverToService(UINT message, int taskId, std::unique_ptr<HttpMsgData> data) {
  std::shared_ptr<CHttpTaskService> service = CHttpTaskService::GetInstance();
  if (!service) return 0;  // no service: the message is dropped with its record
  WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage True");
  service->OnDealTaskMsg(message, taskId, std::move(data));
  return 0;
}

std::atomic<CHttpTask::MessageSink> messageSink{&DeliverToService};

// The folder of a download may be writable by others, who can put anything at the temporary
// name before us. Only a regular file of ours with no other name is our own partial download;
// anything else there (a link to another file, a hard link, a fifo, a device) must never be
// written through.
bool IsOwnPartialFile(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
         info.st_uid == ::geteuid();
}

// Opens the temporary file for appending, never through a link and never blocking on a fifo.
// What stands at the name and is not our own partial file is unlinked and a new file is made
// in its place: it cannot hold bytes of ours to resume from, and refusing would let whoever
// put it there stop every download to that path. A directory, or a name that another user's
// file holds in a sticky folder, cannot be replaced: -1 with errno then.
int OpenTemporaryFile(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(::open(path.c_str(), kFlags, 0666));
  if (!fd.IsValid() || !IsOwnPartialFile(fd.Get())) {
    // ELOOP: a symbolic link; ENXIO: a fifo without reader, or a socket.
    if (!fd.IsValid() && errno != ELOOP && errno != ENXIO) return -1;
    fd.Reset();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    // O_EXCL: whatever was put back at the name meanwhile fails the open instead.
    fd.Reset(::open(path.c_str(), kFlags | O_EXCL, 0666));
    if (!fd.IsValid()) return -1;
  }
  // Regular files never block; blocking mode is what stdio expects.
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
  return fd.Release();
}

void EmptyStatusCallback(HINTERNET, DWORD_PTR, DWORD, void*, DWORD) {}

std::wstring Trim(const std::wstring& text, const wchar_t* blanks) {
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::wstring::npos) return {};
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// A progress value in its 32-bit field: 0xFFFFFFFF is kept for "unknown", so 4 GiB and more
// read as 0xFFFFFFFE.
uint32_t ProgressField(uint64_t value) {
  return value >= 0xFFFFFFFFull ? 0xFFFFFFFEu : static_cast<uint32_t>(value);
}

void PutLittleEndian(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A conditional-fetch time that the runtime can take: fields in range from 1900 on.
bool IsUsableTime(const SYSTEMTIME& time) {
  if (time.wYear < 1900) return true;  // taken as time value 0
  return time.wMonth >= 1 && time.wMonth <= 12 && time.wDay >= 1 && time.wDay <= 31 &&
         time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60;
}

// wcsftime of one piece (at most 128 characters), cut to three when it is four or longer.
std::wstring TimePiece(const wchar_t* format, const tm& parts, bool abbreviate) {
  wchar_t text[129] = {};
  std::wcsftime(text, 128, format, &parts);
  std::wstring piece = text;
  if (abbreviate && piece.size() >= 4) piece.resize(3);
  return piece;
}

// "bytes START-END/TOTAL" or "bytes START-END/*"; false when the field is not like that.
bool ParseContentRange(const std::wstring& headers, uint64_t& start, uint64_t& end,
                       uint64_t& total) {
  std::wstring lower = headers;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  size_t at = lower.find(L"\ncontent-range:");
  if (at == std::wstring::npos) return false;
  std::string value = WideToUtf8(headers.substr(at + 15, headers.find(L'\r', at + 1) - at - 15));
  unsigned long long first = 0, last = 0, size = 0;
  char star = 0;
  if (std::sscanf(value.c_str(), " bytes %llu-%llu/%llu", &first, &last, &size) == 3) {
    start = first;
    end = last;
    total = size;
    return last >= first;
  }
  if (std::sscanf(value.c_str(), " bytes %llu-%llu/%c", &first, &last, &star) == 3 && star == '*') {
    start = first;
    end = last;
    total = CHttpTask::kUnknownLength;
    return last >= first;
  }
  return false;
}

// `wide` in UTF-8 with every byte but the unreserved ones escaped (for credentials in a URL),
// or, with `unsafeOnly`, only the bytes a URL cannot carry (blanks, controls, above 0x7E).
std::string Escape(const std::wstring& wide, bool unsafeOnly) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : WideToUtf8(wide)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool plain =
        unsafeOnly ? c > 0x20 && c < 0x7F : alnum || c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The URL that the parts of `url` name under `scheme`, with the credentials in it when
// `withCredentials`: the address the task connects to, as the redirect rule reads it.
std::string JoinUrl(const std::wstring& scheme, const UrlComponents& url, bool withCredentials) {
  std::string text = WideToUtf8(scheme) + "://";
  if (withCredentials && (url.userNameLength || url.passwordLength)) {
    text += Escape(url.userName, false) + ":" + Escape(url.password, false) + "@";
  }
  const std::string host = WideToUtf8(url.hostName);
  const bool bracket = host.find(':') != std::string::npos && host.front() != '[';
  text += (bracket ? "[" + host + "]" : host) + ":" + std::to_string(url.port);
  const std::string rest = Escape(std::wstring(url.urlPath) + url.extraInfo, true);
  return text + (rest.empty() || rest.front() != '/' ? "/" : "") + rest;
}

// Writes `text` into a fixed part of a split URL; false when it does not fit.
bool SetUrlPart(wchar_t* buffer, uint32_t& length, size_t limit, const std::string& text) {
  const std::wstring wide = Utf8ToWide(text);
  if (wide.size() > limit) return false;
  std::wcscpy(buffer, wide.c_str());
  length = static_cast<uint32_t>(wide.size());
  return true;
}

// The public cause of a WinINet error; `namedProxy`: connections go to a configured proxy,
// so a connection the far end would not make is the proxy's refusal.
ZV_FAILURE_CAUSE CauseOf(DWORD error, bool namedProxy) {
  switch (error) {
    case 0:
      return ZV_FAILURE_NONE;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return namedProxy ? ZV_FAILURE_PROXY_REFUSED : ZV_FAILURE_CONNECTION_REFUSED;
    case ERROR_INTERNET_TIMEOUT:
      return ZV_FAILURE_TIMED_OUT;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return ZV_FAILURE_HOST_NOT_FOUND;
    case ERROR_INTERNET_INVALID_CA:
      return ZV_FAILURE_TLS_UNTRUSTED;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return ZV_FAILURE_TLS_WRONG_HOST;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return ZV_FAILURE_TLS_OTHER;
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return ZV_FAILURE_BAD_URL;
    case ERROR_INTERNET_PROXY_SERVER_UNREACHABLE:
      return ZV_FAILURE_PROXY_UNREACHABLE;
    case ERROR_HTTP_REDIRECT_FAILED:
      return ZV_FAILURE_REDIRECT_UNSUPPORTED;
    case ERROR_INTERNET_INVALID_SERVER_RESPONSE:
      return ZV_FAILURE_MALFORMED_RESPONSE;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      return ZV_FAILURE_CONNECTION_LOST;
    default:
      return ZV_FAILURE_OTHER;
  }
}

}  // namespace

void CHttpTask::SetMessageSinkForTesting(MessageSink sink) {
  messageSink.store(sink ? sink : &DeliverToService);
}

CHttpTask::CHttpTask(int cookie)
    : m_pResponse(std::make_unique<GrowBuffer>()),
      m_nCookie(cookie),
      m_dwCreateTick(timeGetTime()) {
  ClearUrlComponents(&m_url);
  std::wcscpy(m_url.schemeName, L"http");
  m_url.schemeNameLength = 4;
  m_url.scheme = URL_SCHEME_HTTP;
  m_url.port = 80;
  AddWaitEvent(&m_hHandleCreatedEvent);
  AddWaitEvent(&m_hRequestCompleteEvent);
}

CHttpTask::~CHttpTask() {
  WriteLog(LOG_TRACE, L"CHttpTask::~CHttpTask this:%d",
           static_cast<int>(reinterpret_cast<intptr_t>(this)));
  if (CHttpTaskRegistry::Get().Remove(this)) {
    WriteLog(LOG_TRACE, L"CHttpTask::~CHttpTask this true");
  }
  // Run closes everything; this covers a task deleted without running to its end.
  CloseRequest();
  CloseConnection();
  CloseSession();
}

// ---- set-up ----------------------------------------------------------------------------

long CHttpTask::SetExtraParam(uint32_t) {
  return 0;
}

void CHttpTask::SetProxy(const tagHProxyInfo& proxy) {
  m_proxy = proxy;
}

void CHttpTask::SetMemoryMode(int) {
  m_nKind = HTTP_KIND_MEMORY;
}

void CHttpTask::SetPostMode(int post) {
  m_bPost = post;
}

bool CHttpTask::ParseUrl(const tagDefHttpPar& par, bool allowUnknownScheme) {
  m_strUrl = Trim(par.url, kUrlBlanks);
  // No host: nothing could be connected to.
  if (!SplitUrl(&m_url, m_strUrl.c_str()) || m_url.hostNameLength == 0) return false;
  if (m_url.scheme == URL_SCHEME_UNKNOWN && allowUnknownScheme) {
    for (wchar_t& c : m_strUrl) c = static_cast<wchar_t>(std::towlower(c));
    if (m_strUrl.find(L"https") != std::wstring::npos) m_bSecure = 1;
    return true;
  }
  if (m_url.scheme == URL_SCHEME_HTTPS) {
    m_bSecure = 1;
    return true;
  }
  return m_url.scheme == URL_SCHEME_HTTP;
}

long CHttpTask::InitDownload(const tagDefHttpPar* par, const SYSTEMTIME* ifModifiedSince,
                             uint32_t startOffset, const wchar_t* path, bool startNow,
                             bool report) {
  if (!par) return E_FAIL;
  m_param = *par;
  m_strHeaders = par->headers;
  m_nKind = HTTP_KIND_MEMORY;
  std::wstring savePath = path ? Trim(path, kPathBlanks) : std::wstring();
  if (!savePath.empty()) m_nKind = HTTP_KIND_FILE;
  if (!ParseUrl(*par, true)) {
    m_nFailure = ZV_FAILURE_BAD_URL;
    return E_FAIL;
  }
  // A time the runtime cannot take is refused here, before any traffic.
  if (ifModifiedSince && !IsUsableTime(*ifModifiedSince)) return E_FAIL;
  m_strFilePath = savePath;
  m_nOffset = startOffset;
  m_bReport = report;
  m_nErrorCode = 0;
  m_nTotal = 0;
  if (ifModifiedSince) {
    m_stIfModifiedSince = *ifModifiedSince;
    m_bHasIfModifiedSince = 1;
  }
  if (startNow && !StartThread()) return E_FAIL;
  return 0;
}

long CHttpTask::InitUpload(const tagDefHttpPar* par, std::shared_ptr<UploadData> data,
                           bool startNow) {
  if (!par) return E_FAIL;
  m_param = *par;
  m_strHeaders = par->headers;
  m_pUploadData = std::move(data);
  SetPostMode(1);
  m_nKind = HTTP_KIND_UPLOAD;
  m_nErrorCode = 0;
  m_nTotal = 0;
  if (!ParseUrl(*par, false)) {
    m_nFailure = ZV_FAILURE_BAD_URL;
    return E_FAIL;
  }
  if (startNow && !StartThread()) return E_FAIL;
  return 0;
}

// ---- lifecycle --------------------------------------------------------------------------

long CHttpTask::PreRun() {
  WriteLog(LOG_TRACE, L"CHttpTask::PreRun this:%d",
           static_cast<int>(reinterpret_cast<intptr_t>(this)));
  CHttpTaskRegistry::Get().Add(this);
  return 0;
}

long CHttpTask::Run() {
  SetResult(1, m_nErrorCode);
  if (m_bPost) {
    RunUpload();
    return 0;
  }
  FinishDownload(RunDownload());
  return 0;
}

long CHttpTask::PostRun() {
  OnDealMessage(WM_HTTPDOWNLOAD_THREAD_QUIT, nullptr);
  const DWORD start = timeGetTime();
  if (m_nKind == HTTP_KIND_FILE) ReportCdnPerf();
  WriteLog(LOG_FAIL, L"CHttpTask::PostRun  [%ld]", static_cast<long>(timeGetTime() - start));
  return 0;
}

long CHttpTask::Stop() {
  return CThreadControl::Stop();
}

void CHttpTask::FailTask() {
  m_nErrorCode = DOWNLOAD_FAILED;
  NotifyComplete();
}

void CHttpTask::SetResult(int outcome, int errorCode) {
  m_nOutcome = outcome;
  m_nErrorCode = errorCode;
}

void CHttpTask::ReportCdnPerf() {
  CCdnReport::RunFor(*this, IsStopped(), &stopEvent);
}

CHttpTask::Timing CHttpTask::GetTiming() const {
  return {m_dwNameResolutionMs.load(), m_dwConnectMs.load(), m_dwFirstResponseMs.load(),
          m_dwTransferMs.load()};
}

DWORD CHttpTask::ElapsedSince(std::atomic<DWORD>& start) {
  DWORD begun = start.exchange(0);
  return begun == 0 ? kNotMeasured : timeGetTime() - begun;
}

std::wstring CHttpTask::TemporaryPath() const {
  return m_strFilePath + L".downloading";
}

// ---- waits ------------------------------------------------------------------------------

CHttpTask::Step CHttpTask::WaitFor(CEvent& expected) {
  CEvent* signalled = nullptr;
  bool stop = false;
  AwaitEvents(&signalled, &stop);
  if (stop) return StepStopped;
  if (signalled != &expected) return StepFailed;
  return &expected == &m_hRequestCompleteEvent && m_bRequestFailed ? StepFailed : StepOk;
}

CHttpTask::Step CHttpTask::Await(BOOL result, CEvent& expected) {
  if (result) return StepOk;
  if (GetLastError() != ERROR_IO_PENDING) {
    NoteLastError();
    return StepFailed;
  }
  return WaitFor(expected);
}

// ---- session, connection, request -------------------------------------------------------

HINTERNET CHttpTask::OpenInternetSession(DWORD flags) {
  wchar_t proxy[512] = {};
  const wchar_t* prefix = m_proxy.type == 2 ? L"SOCKS=" : L"";
  std::swprintf(proxy, 511, L"%ls%ls:%d", prefix, m_proxy.host.c_str(), m_proxy.port);
  switch (m_proxy.type) {
    case 0:
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, flags);
    case 3:
      return InternetOpenW(kUserAgent, m_dwAccessType, nullptr, nullptr, flags);
    default:
      return InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PROXY, proxy, nullptr, flags);
  }
}

CHttpTask::Step CHttpTask::OpenSession() {
  m_hSession = OpenInternetSession(INTERNET_FLAG_ASYNC);
  if (!m_hSession) return StepFailed;
  if (InternetSetStatusCallbackW(m_hSession, &CHttpTask::InternetStatusCallback) ==
      INTERNET_INVALID_STATUS_CALLBACK) {
    return StepFailed;
  }
  return StepOk;
}

CHttpTask::Step CHttpTask::Connect() {
  if (!m_hSession || m_hConnect) return StepFailed;
  HINTERNET connection =
      InternetConnectW(m_hSession, m_url.hostName, static_cast<INTERNET_PORT>(m_url.port),
                       m_url.userNameLength ? m_url.userName : nullptr,
                       m_url.passwordLength ? m_url.password : nullptr, INTERNET_SERVICE_HTTP,
                       kConnectFlags, reinterpret_cast<DWORD_PTR>(this));
  if (connection) {
    m_hConnect = connection;
    return StepOk;
  }
  if (GetLastError() != ERROR_IO_PENDING) return StepFailed;
  Step waited = WaitFor(m_hHandleCreatedEvent);
  if (waited == StepStopped) return StepStopped;
  return waited == StepOk && m_hConnect ? StepOk : StepFailed;
}

CHttpTask::Step CHttpTask::OpenSessionAndConnect() {
  if (OpenSession() != StepOk) return StepFailed;
  return Connect();
}

CHttpTask::Step CHttpTask::OpenRequest() {
  if (!m_hConnect || m_hRequest) return StepFailed;
  const std::wstring object = std::wstring(m_url.urlPath) + m_url.extraInfo;
  // Cookies belong to the request's own URL (trimmed as the request is), also after a
  // redirect.
  const std::wstring cookieUrl = Trim(m_param.url, kUrlBlanks);
  for (const auto& [name, value] : m_param.cookies) {
    InternetSetCookieW(cookieUrl.c_str(), name.c_str(), value.c_str());  // not checked
  }
  const wchar_t* accept[] = {L"*/*", nullptr};
  DWORD flags = kSecureFlags;
  if (!m_bSecure) {
    flags = kPlainFlags;
    if (m_bPost || (m_param.flags & HTTPPAR_NO_AUTO_REDIRECT)) {
      flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    }
  }
  HINTERNET request =
      HttpOpenRequestW(m_hConnect, m_bPost ? L"POST" : L"GET", object.c_str(), L"HTTP/1.1",
                       m_param.referrer.c_str(), accept, flags, reinterpret_cast<DWORD_PTR>(this));
  if (request) {
    m_hRequest = request;
  } else {
    const DWORD error = GetLastError();
    WriteLog(LOG_APIERR, L"HttpOpenReuest Error Code : %d", static_cast<int>(error));
    if (error != ERROR_IO_PENDING) {
      SetResult(4, DOWNLOAD_FAILED);
      return StepFailed;
    }
    Step waited = WaitFor(m_hHandleCreatedEvent);
    if (waited == StepStopped) return StepStopped;
    if (waited != StepOk) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
  }
  m_hHandleCreatedEvent.Reset();
  if (!m_hRequest) {
    m_nErrorCode = DOWNLOAD_FAILED;
    return StepFailed;
  }
  // No SECURITY_FLAG_IGNORE_UNKNOWN_CA here: an unknown authority fails the request.
  if (m_proxy.needAuth) {
    std::wstring user = m_proxy.user;
    std::wstring password = m_proxy.password;
    if (!InternetSetOptionW(m_hRequest, INTERNET_OPTION_PROXY_USERNAME, user.data(),
                            static_cast<DWORD>(user.size())) ||
        !InternetSetOptionW(m_hRequest, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                            static_cast<DWORD>(password.size()))) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
  }
  return StepOk;
}

void CHttpTask::CloseRequest() {
  if (!m_hRequest) return;
  InternetSetStatusCallbackW(m_hRequest, &EmptyStatusCallback);
  InternetCloseHandle(m_hRequest);
  m_hRequest = nullptr;
}

void CHttpTask::CloseConnection() {
  if (!m_hConnect) return;
  InternetSetStatusCallbackW(m_hConnect, &EmptyStatusCallback);
  InternetCloseHandle(m_hConnect);
  m_hConnect = nullptr;
}

void CHttpTask::CloseSession() {
  if (!m_hSession) return;
  InternetSetStatusCallbackW(m_hSession, nullptr);
  InternetCloseHandle(m_hSession);
  m_hSession = nullptr;
}

void CHttpTask::CloseAll() {
  if (m_nKind == HTTP_KIND_FILE) CloseSaveFile();
  CloseRequest();
  CloseConnection();
  CloseSession();
}

// ---- status callback --------------------------------------------------------------------

void CHttpTask::InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                       void* information, DWORD length) {
  auto* task = reinterpret_cast<CHttpTask*>(context);
  if (!CHttpTaskRegistry::Get().Contains(task)) {
    WriteLog(LOG_TRACE, L"CHttpTask::InternetStatusCallback not find this:%d",
             static_cast<int>(context));
    return;
  }
  task->OnStatusCallback(handle, status, information, length);
}

void CHttpTask::OnStatusCallback(HINTERNET handle, DWORD status, void* information, DWORD length) {
  switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
    case INTERNET_STATUS_REQUEST_SENT:
      m_dwPhaseStart.store(timeGetTime());
      break;
    case INTERNET_STATUS_NAME_RESOLVED:
      m_dwNameResolutionMs.store(ElapsedSince(m_dwPhaseStart));
      break;
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
      m_dwConnectMs.store(ElapsedSince(m_dwPhaseStart));
      break;
    case INTERNET_STATUS_HANDLE_CREATED:
      OnHandleCreated(handle, information);
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      OnHandleClosing(handle, information);
      break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
      if (m_dwFirstResponseMs.load() == kNotMeasured) {
        m_dwFirstResponseMs.store(ElapsedSince(m_dwPhaseStart));
      }
      OnRequestComplete(handle, information);
      break;
    case INTERNET_STATUS_REDIRECT:
      WriteLogTagged(LOG_TRACE, L"302", L"OnStatusCallback 302, new url is %s",
                     information ? static_cast<const wchar_t*>(information) : L"");
      break;
    default:
      break;
  }
  WriteLog(LOG_EVENT, L"CHttpTask::OnStatusCallback. Status = %d\n", static_cast<int>(status));
}

void CHttpTask::OnHandleCreated(HINTERNET, void* information) {
  if (!information) return;
  HINTERNET created =
      reinterpret_cast<HINTERNET>(static_cast<INTERNET_ASYNC_RESULT*>(information)->dwResult);
  DWORD type = 0;
  DWORD size = sizeof type;
  InternetQueryOptionW(created, INTERNET_OPTION_HANDLE_TYPE, &type, &size);
  if (type == INTERNET_HANDLE_TYPE_CONNECT_HTTP) {
    CloseConnection();
    m_hConnect = created;
  } else if (type == INTERNET_HANDLE_TYPE_HTTP_REQUEST) {
    CloseRequest();
    m_hRequest = created;
  }
  m_hHandleCreatedEvent.Set();
}

void CHttpTask::OnHandleClosing(HINTERNET, void*) {}

void CHttpTask::OnRequestComplete(HINTERNET, void* information) {
  if (!information) return;
  const auto* result = static_cast<INTERNET_ASYNC_RESULT*>(information);
  m_bRequestFailed = result->dwResult == 0;
  if (result->dwResult == 0 && result->dwError != 0) m_dwLastError = result->dwError;
  m_hRequestCompleteEvent.Set();
}

// ---- queries ----------------------------------------------------------------------------

long CHttpTask::QueryLastModified() {
  if (!m_hRequest) return E_FAIL;
  DWORD size = sizeof m_stLastModified;
  HttpQueryInfoW(m_hRequest, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME,
                 &m_stLastModified, &size, nullptr);  // not checked
  return 0;
}

long CHttpTask::QueryContentLength(uint64_t* length) {
  if (!m_hRequest) return E_FAIL;
  uint64_t value = 0;
  DWORD size = sizeof value;
  *length = HttpQueryInfoW(m_hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64, &value,
                           &size, nullptr)
                ? value
                : kUnknownLength;
  return 0;
}

long CHttpTask::QueryStatusCode() {
  if (!m_hRequest) return E_FAIL;
  char text[100] = {};
  DWORD size = sizeof text;
  if (HttpQueryInfoA(m_hRequest, HTTP_QUERY_STATUS_CODE, text, &size, nullptr)) {
    m_nHttpStatus = static_cast<int>(std::atol(text));
    return 0;
  }
  m_nHttpStatus = 500;
  return E_FAIL;
}

long CHttpTask::QueryRawHeaders() {
  if (!m_hRequest) return E_FAIL;
  DWORD size = 0;
  if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return E_FAIL;
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &size, nullptr)) {
    return E_FAIL;
  }
  text.resize(size / sizeof(wchar_t));
  m_strRawHeaders = text;
  return 0;
}

CHttpTask::Step CHttpTask::OnRedirect() {
  if (!m_hRequest) return StepFailed;
  DWORD size = 0;
  if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return StepFailed;
  }
  std::wstring location(size / sizeof(wchar_t) + 1, L'\0');
  if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_LOCATION, location.data(), &size, nullptr)) {
    return StepFailed;
  }
  location.resize(size / sizeof(wchar_t));
  HttpHop current;
  current.url = JoinUrl(m_bSecure ? L"https" : L"http", m_url, false);
  current.user = WideToUtf8(m_url.userName);
  current.password = WideToUtf8(m_url.password);
  current.headerLines = HeaderLines(WideToUtf8(m_strHeaders));
  m_strUrl = location;
  ClearUrlComponents(&m_url);
  // A relative Location, one neither http nor https, or one the redirect rule refuses
  // (https to http) is not followed.
  m_nFailure = ZV_FAILURE_REDIRECT_UNSUPPORTED;
  if (!SplitUrl(&m_url, m_strUrl.c_str())) return StepFailed;  // a relative Location
  // The redirect rule reads the address the next attempt connects to, and says which
  // credentials and header lines go there.
  HttpHop next;
  if (NextHop(current, m_nHttpStatus, JoinUrl(m_url.schemeName, m_url, true), false, next) != 0 ||
      !SetUrlPart(m_url.userName, m_url.userNameLength, kMaxUserName, next.user) ||
      !SetUrlPart(m_url.password, m_url.passwordLength, kMaxPassword, next.password)) {
    return StepFailed;
  }
  m_strHeaders.clear();
  for (const std::string& line : next.headerLines) m_strHeaders += Utf8ToWide(line) + L"\r\n";
  if (m_url.scheme == URL_SCHEME_HTTP) {
    m_bSecure = 0;
  } else if (m_url.scheme == URL_SCHEME_HTTPS) {
    m_bSecure = 1;
  } else {
    return StepFailed;
  }
  m_nFailure = ZV_FAILURE_NONE;
  NotifyRedirect();
  return StepRedirected;
}

// ---- download ---------------------------------------------------------------------------

CHttpTask::Step CHttpTask::RunDownload() {
  if (OpenSessionAndConnect() != StepOk) {
    CloseAll();
    return StepFailed;
  }
  NotifyConnecting();
  int attempts = 0;
  Step result = StepFailed;
  while (attempts < m_nMaxAttempts) {
    result = SendDownloadRequest();
    if (result == StepRetry) {
      CloseSaveFile();
      CloseRequest();
      ++attempts;
      continue;
    }
    if (result == StepRedirected) {
      if (m_param.flags & HTTPPAR_STOP_ON_REDIRECT) {
        m_nErrorCode = DOWNLOAD_REDIRECT_REFUSED;
        break;
      }
      CloseSaveFile();
      CloseRequest();
      CloseConnection();
      result = Connect();
      if (result != StepOk) break;
      NotifyConnecting();
      attempts = 1;
      continue;
    }
    break;
  }
  CloseAll();
  return attempts >= m_nMaxAttempts ? StepExhausted : result;
}

CHttpTask::Step CHttpTask::SendDownloadRequest() {
  m_dwLastError = 0;  // an earlier attempt's failure is not this one's
  m_nFailure = ZV_FAILURE_NONE;
  Step result = OpenRequest();
  if (result != StepOk) return result;
  if (m_nKind == HTTP_KIND_FILE && (OpenSaveFile() != StepOk || !m_pSaveFile)) return StepFailed;
  if (m_bHasIfModifiedSince) m_nOffset = 0;  // a conditional fetch never resumes
  if (AddRangeHeader() != 0) return StepFailed;
  if (m_bHasIfModifiedSince && AddIfModifiedSinceHeader() != 0) return StepFailed;
  if (!HttpSendRequestW(m_hRequest, m_strHeaders.c_str(), static_cast<DWORD>(m_strHeaders.size()),
                        nullptr, 0)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      NoteLastError();
      CloseRequest();
      return StepFailed;
    }
    Step waited = WaitFor(m_hRequestCompleteEvent);
    if (waited == StepStopped) {
      CloseRequest();
      return StepStopped;
    }
    if (waited != StepOk) return StepFailed;
  }
  SetResult(2, m_nErrorCode);
  QueryLastModified();
  NotifyConnected();
  if (QueryStatusCode() != 0) return StepFailed;
  QueryRawHeaders();  // not checked
  switch (m_nHttpStatus) {
    case 200: {
      QueryContentLength(&m_nTotal);
      result = OnResponseOk();
      if (result == StepRetry) m_nOffset = 0;
      return result;
    }
    case 206:
      return OnPartialContent();
    case 301:
    case 302:
    case 303:
    case 307:
      return OnRedirect();
    case 304:
      m_nErrorCode = DOWNLOAD_NOT_MODIFIED;
      return StepNotModified;
    case 401:
    case 407:
      NotifyAuthRequired();
      return StepFinal;
    case 404:
      m_nErrorCode = DOWNLOAD_NOT_FOUND;
      return StepFinal;
    case 416:
      m_nOffset = 0;
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepRetry;
    case 503:
      m_nErrorCode = DOWNLOAD_SERVER_ERROR;
      return StepFinal;
    default:
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
  }
}

long CHttpTask::AddRangeHeader() {
  m_bRangeRequested = m_nOffset != 0;
  if (m_nOffset == 0) return 0;
  const std::wstring header = L"Range: bytes=" + std::to_wstring(m_nOffset) + L"-";
  return HttpAddRequestHeadersW(m_hRequest, header.c_str(), static_cast<DWORD>(header.size()),
                                HTTP_ADDREQ_FLAG_ADD)
             ? 0
             : E_FAIL;
}

long CHttpTask::AddIfModifiedSinceHeader() {
  if (!m_bHasIfModifiedSince || !IsUsableTime(m_stIfModifiedSince)) return E_FAIL;
  const SYSTEMTIME& when = m_stIfModifiedSince;
  time_t value = 0;
  if (when.wYear >= 1900) {
    // Taken as local time, daylight saving as the runtime decides; the clock text below is
    // the given one, only labelled GMT.
    tm parts{};
    parts.tm_year = when.wYear - 1900;
    parts.tm_mon = when.wMonth - 1;
    parts.tm_mday = when.wDay;
    parts.tm_hour = when.wHour;
    parts.tm_min = when.wMinute;
    parts.tm_sec = when.wSecond;
    parts.tm_isdst = -1;
    value = std::mktime(&parts);
    if (value == static_cast<time_t>(-1)) return E_FAIL;
  }
  tm local{};
  if (!::localtime_r(&value, &local)) return E_FAIL;
  const std::wstring date = TimePiece(L"%A", local, true) + L", " + TimePiece(L"%d", local, false) +
                            L" " + TimePiece(L"%B", local, true) + L" " +
                            TimePiece(L"%Y", local, false) + L" " +
                            TimePiece(L"%H:%M:%S", local, false) + L" GMT";
  const std::wstring header = L"If-Modified-Since: " + date;
  return HttpAddRequestHeadersW(m_hRequest, header.c_str(), static_cast<DWORD>(header.size()),
                                HTTP_ADDREQ_FLAG_ADD)
             ? 0
             : E_FAIL;
}

long CHttpTask::AddFormContentType() {
  static const wchar_t kHeader[] = L"Content-Type: application/x-www-form-urlencoded\r\n";
  if (!m_hRequest) return E_FAIL;
  return HttpAddRequestHeadersW(m_hRequest, kHeader, static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD)
             ? 0
             : E_FAIL;
}

CHttpTask::Step CHttpTask::OpenSaveFile() {
  m_pSaveFile.reset();
  UniqueFd fd(OpenTemporaryFile(WideToUtf8(TemporaryPath())));
  if (!fd.IsValid()) {
    NoteFileError(errno);
    WriteLog(LOG_FAIL, L"CHttpTask::OpenSaveFile Failed1 [%s]", m_strFilePath.c_str());
    return StepFailed;
  }
  FILE* file = ::fdopen(fd.Get(), "ab");
  if (!file) {
    WriteLog(LOG_FAIL, L"CHttpTask::OpenSaveFile Failed2 [%s]", m_strFilePath.c_str());
    return StepFailed;
  }
  fd.Release();  // the FILE owns it now
  m_pSaveFile.reset(file);
  // Chunks are small next to what a file write costs: batching them saves most system calls.
  std::setvbuf(file, nullptr, _IOFBF, kSaveFileBuffer);
  if (m_nOffset == 0) return StepOk;
  if (::fseeko(file, 0, SEEK_END) != 0) return StepFailed;
  const off_t size = ::ftello(file);
  if (size < 0) return StepFailed;
  if (static_cast<uint64_t>(size) < m_nOffset) {
    m_nOffset = 0;  // the file does not hold what the offset claims: fetch everything
    return ::fseeko(file, 0, SEEK_SET) == 0 ? StepOk : StepFailed;
  }
  return ::fseeko(file, static_cast<off_t>(m_nOffset), SEEK_SET) == 0 ? StepOk : StepFailed;
}

long CHttpTask::WriteSaveFile(DWORD count) {
  if (!m_pSaveFile) return E_FAIL;
  if (std::fwrite(m_pChunk.get(), 1, count, m_pSaveFile.get()) == count) return 0;
  NoteFileError(errno);
  return E_FAIL;
}

long CHttpTask::FinishSaveFile() {
  // The last buffered bytes must reach the file before the body counts as complete.
  if (m_pSaveFile && std::fflush(m_pSaveFile.get()) != 0) {
    NoteFileError(errno);
    return E_FAIL;
  }
  return 0;
}

void CHttpTask::CloseSaveFile() {
  FinishSaveFile();
  m_pSaveFile.reset();
}

CHttpTask::Step CHttpTask::OnResponseOk() {
  if (!m_hRequest) return StepFailed;
  if (m_nOffset != 0) return StepFailed;  // the server ignored the range
  if (m_nKind != HTTP_KIND_FILE) return ReadResponse();
  if (!m_pSaveFile) return StepFailed;
  if (::ftruncate(::fileno(m_pSaveFile.get()), 0) != 0) return StepFailed;
  return ReadResponse();
}

bool CHttpTask::PartialMatchesRequest() {
  uint64_t start = 0, end = 0, total = 0;
  if (!ParseContentRange(m_strRawHeaders, start, end, total) || start != m_nOffset) return false;
  if (total != kUnknownLength && end >= total) return false;
  // The resource's end, so that a part shorter than the rest is seen as incomplete.
  m_nTotal = total != kUnknownLength ? total : end + 1;
  return true;
}

CHttpTask::Step CHttpTask::OnPartialContent() {
  if (!m_hRequest || m_nOffset == 0) return StepFailed;
  // A partial answer that does not start where the file ends cannot be appended: the next
  // attempt fetches the whole body instead.
  if (!PartialMatchesRequest()) {
    m_nOffset = 0;
    m_nErrorCode = DOWNLOAD_FAILED;
    return StepRetry;
  }
  if (!m_pSaveFile) return StepFailed;
  if (std::fflush(m_pSaveFile.get()) != 0 ||
      ::ftruncate(::fileno(m_pSaveFile.get()), static_cast<off_t>(m_nOffset)) != 0) {
    return StepFailed;
  }
  return ReadResponse();
}

CHttpTask::Step CHttpTask::OnUnexpectedStatus() {
  return StepFailed;
}

CHttpTask::Step CHttpTask::ReadResponse() {
  NotifyDownloadStart();
  if (!m_pChunk) m_pChunk.reset(new unsigned char[m_nChunkSize + 2]);
  if (m_nKind == HTTP_KIND_MEMORY && !m_pResponse) {
    m_pResponse = std::make_unique<GrowBuffer>();
    if (m_pResponse->Capacity() == 0) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
  }
  if (m_nKind == HTTP_KIND_MEMORY && m_nTotal != kUnknownLength && m_nTotal > m_nOffset &&
      m_nTotal <= kMaxMemoryBody) {
    m_pResponse->Reserve(static_cast<size_t>(m_nTotal));  // a failure just leaves growth to Append
  }
  uint64_t remaining =
      (m_nTotal == kUnknownLength || m_nTotal < m_nOffset) ? UINT64_MAX : m_nTotal - m_nOffset;
  for (;;) {
    DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(m_nChunkSize, remaining));
    DWORD got = 0;
    // A memory download whose room is already made reads straight into it, saving a copy.
    unsigned char* inPlace = m_nKind == HTTP_KIND_MEMORY ? m_pResponse->Tail(wanted) : nullptr;
    if (wanted > 0) {
      INTERNET_BUFFERSA buffers{};
      buffers.dwStructSize = sizeof buffers;
      buffers.lpvBuffer = inPlace ? inPlace : m_pChunk.get();
      buffers.dwBufferLength = wanted;
      if (InternetReadFileExA(m_hRequest, &buffers, IRF_SYNC, reinterpret_cast<DWORD_PTR>(this))) {
        if (TakeStopSignal()) return StepStopped;
      } else if (GetLastError() == ERROR_IO_PENDING) {
        Step waited = WaitFor(m_hRequestCompleteEvent);
        if (waited != StepOk) {
          // The read is still pending on `buffers` in this frame: cancel it before leaving.
          CloseRequest();
          if (waited == StepStopped) return StepStopped;
          m_nErrorCode = DOWNLOAD_FAILED;
          return StepFailed;
        }
      } else {
        NoteLastError();
        m_nErrorCode = DOWNLOAD_FAILED;
        return StepFailed;
      }
      got = buffers.dwBufferLength;
    } else if (TakeStopSignal()) {
      return StepStopped;
    }
    if (!inPlace) m_pChunk[got] = 0;
    if (got == 0) {
      if (m_nKind == HTTP_KIND_FILE && FinishSaveFile() != 0) {
        m_nErrorCode = DOWNLOAD_WRITE_FAILED;
        return StepRetry;
      }
      if (m_nTotal != kUnknownLength && m_nTotal != m_nOffset) {
        m_nErrorCode = DOWNLOAD_LENGTH_MISMATCH;
        return StepRetry;
      }
      m_nErrorCode = DOWNLOAD_OK;
      return StepDone;
    }
    if (m_nKind == HTTP_KIND_MEMORY) {
      // A body that memory or the result record cannot hold fails rather than arriving cut.
      if (m_pResponse->Size() + got > kMaxMemoryBody) {
        m_nErrorCode = DOWNLOAD_FAILED;
        return StepFailed;
      }
      if (inPlace) {
        m_pResponse->Commit(got);
      } else if (m_pResponse->Append(m_pChunk.get(), got) != 0) {
        m_nErrorCode = DOWNLOAD_FAILED;
        return StepFailed;
      }
    } else if (m_nKind == HTTP_KIND_FILE && WriteSaveFile(got) != 0) {
      m_nErrorCode = DOWNLOAD_WRITE_FAILED;
      return StepRetry;
    }
    m_nOffset += got;
    remaining -= got;
    m_nBytesReceived += got;
    NotifyProgress();
  }
}

CHttpTask::Step CHttpTask::FinishDownload(Step result) {
  if (result != StepDone && result != StepNotModified) {
    if (m_nErrorCode == 0) m_nErrorCode = DOWNLOAD_FAILED;
    // A stopped download keeps its temporary file so that a later request can resume.
    if (m_nKind == HTTP_KIND_FILE && result != StepStopped) {
      std::remove(WideToUtf8(TemporaryPath()).c_str());
    }
    m_bSucceeded = 0;
    SetResult(4, m_nErrorCode);
    NotifyComplete();
    return result;
  }
  SetResult(3, m_nErrorCode);
  if (m_nKind == HTTP_KIND_FILE) {
    if (result == StepNotModified) {
      std::remove(WideToUtf8(TemporaryPath()).c_str());
    } else if (!MoveIntoPlace()) {
      // The data stays in the temporary file; the caller is told it did not arrive.
      m_nErrorCode = DOWNLOAD_WRITE_FAILED;
      m_bSucceeded = 0;
    }
  }
  NotifyComplete();
  return result;
}

bool CHttpTask::MoveIntoPlace() {
  const std::string temporary = WideToUtf8(TemporaryPath());
  // When an existing file is replaced, the bytes are on disk before the name points at them,
  // so a crash leaves the old file or the new one, never an empty one. A new name has no old
  // data to lose, and forcing a large body to disk would make the download wait for the disk
  // rather than the network, so it is left to normal writeback. Asking the rename itself
  // whether the name is taken saves a look-up per file, and leaves no gap between the look-up
  // and the rename. The temporary file is flushed without following a link that someone may
  // have put at its name meanwhile.
  bool flushed = false;
  auto flush = [&] {
    if (flushed) return;
    flushed = true;
    UniqueFd file(::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.IsValid()) ::fsync(file.Get());  // a failed flush only loses the crash guarantee
  };
  // rename replaces the destination atomically; it is never deleted first, so a rename that
  // fails leaves the old file as it was.
  std::wstring target = m_strFilePath;
  int error = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) target += L"_(" + std::to_wstring(attempt - 1) + L")";
    const std::string name = WideToUtf8(target);
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
      m_strFilePath = target;
      return true;
    }
    struct stat existing {};
    // A file system without the flag answers EINVAL: then the name is looked up instead; it
    // counts as taken when anything stands there, a link too.
    if (errno == EEXIST || (errno == EINVAL && ::lstat(name.c_str(), &existing) == 0)) flush();
    if (std::rename(temporary.c_str(), name.c_str()) == 0) {
      m_strFilePath = target;
      return true;
    }
    if (attempt == 0) error = errno;  // the destination's own failure says most
  }
  NoteFileError(error);
  m_strFilePath = target;  // the last target tried; the data stays in `temporary`
  return false;
}

void CHttpTask::NoteLastError() {
  const DWORD error = GetLastError();
  if (error != 0 && error != ERROR_IO_PENDING) m_dwLastError = error;
}

void CHttpTask::NoteFileError(int error) {
  m_nFailure = ZV_FAILURE_DESTINATION_UNWRITABLE;
  m_nSystemError = error;
}

ZV_FAILURE_CAUSE CHttpTask::FailureCause() const {
  if (m_nFailure != ZV_FAILURE_NONE) return m_nFailure;
  return CauseOf(m_dwLastError.load(), m_proxy.type == 1 || m_proxy.type == 2);
}

// ---- upload -----------------------------------------------------------------------------

CHttpTask::Step CHttpTask::RunUpload() {
  Step result = StepFailed;
  for (int attempt = 0; attempt < kUploadAttempts; ++attempt) {
    if (OpenSessionAndConnect() != StepOk) {
      result = StepFinal;
    } else {
      NotifyConnecting();
      result = SendUploadRequest();
    }
    CloseAll();
    if (result != StepAuthRetry && result != StepRetry) break;
  }
  if (result == StepDone) {
    m_bSucceeded = 1;
  } else {
    if (m_nErrorCode == 0) m_nErrorCode = DOWNLOAD_FAILED;
    m_bSucceeded = 0;
  }
  NotifyComplete();
  return result;
}

CHttpTask::Step CHttpTask::SendUploadRequest() {
  Step result = OpenRequest();
  if (result != StepOk) return result;
  DWORD retries = kUploadConnectRetries;
  if (!InternetSetOptionW(m_hRequest, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof retries)) {
    return StepFailed;
  }
  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpcszHeader = m_strHeaders.c_str();
  buffers.dwHeadersLength = static_cast<DWORD>(m_strHeaders.size());
  buffers.dwBufferTotal = m_pUploadData ? m_pUploadData->length : 0;
  Step sent =
      Await(HttpSendRequestExW(m_hRequest, &buffers, nullptr, 0, 0), m_hRequestCompleteEvent);
  if (sent != StepOk) {
    CloseRequest();
    return sent == StepStopped ? StepStopped : StepFailed;
  }
  NotifyConnected();
  return WriteUploadData();
}

CHttpTask::Step CHttpTask::WriteUploadData() {
  if (!m_hRequest) return StepFailed;
  const unsigned char* body = m_pUploadData ? m_pUploadData->data.get() : nullptr;
  const uint32_t length = m_pUploadData && body ? m_pUploadData->length : 0;
  for (uint32_t sent = 0; sent < length;) {
    const DWORD piece = std::min<DWORD>(kUploadPiece, length - sent);
    DWORD written = 0;
    if (!InternetWriteFile(m_hRequest, body + sent, piece, &written)) {
      const DWORD error = GetLastError();
      WriteLog(LOG_APIERR, L"InternetWriteFile Error Code : %d", static_cast<int>(error));
      NoteLastError();
      Step waited = error == ERROR_IO_PENDING ? WaitFor(m_hRequestCompleteEvent) : StepFailed;
      if (waited != StepOk) {
        CloseRequest();
        m_nErrorCode = waited == StepStopped ? DOWNLOAD_UPLOAD_STOPPED : DOWNLOAD_FAILED;
        return waited == StepStopped ? StepStopped : StepFailed;
      }
    }
    if (written == 0) {  // no progress would loop for ever
      CloseRequest();
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
    sent += written;
  }
  m_nErrorCode = DOWNLOAD_OK;
  if (EndRequest() != 0) return StepFailed;
  if (QueryStatusCode() != 0) return StepFailed;
  switch (m_nHttpStatus) {
    case 301:
    case 302:
    case 303:
    case 307:
      return OnRedirect();  // uploads are not replayed elsewhere
    default:
      break;
  }
  QueryRawHeaders();  // not checked
  if (m_nHttpStatus == 401 || m_nHttpStatus == 407) {
    NotifyAuthRequired();
    m_nErrorCode = DOWNLOAD_AUTH_REQUIRED;
    return StepAuthRetry;
  }
  if (m_nHttpStatus >= 500 && m_nHttpStatus <= 505) {
    m_nErrorCode = DOWNLOAD_SERVER_ERROR;
    return StepFailed;
  }
  m_nTotal = 0;
  m_nOffset = 0;
  uint64_t announced = kUnknownLength;
  QueryContentLength(&announced);
  NotifyDownloadStart();
  if (!m_pResponse) {
    m_pResponse = std::make_unique<GrowBuffer>();
    if (m_pResponse->Capacity() == 0) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
  }
  for (;;) {
    char piece[kAnswerPiece + 2] = {};
    INTERNET_BUFFERSA buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.lpvBuffer = piece;
    buffers.dwBufferLength = kAnswerPiece;
    Step read = Await(
        InternetReadFileExA(m_hRequest, &buffers, IRF_ASYNC, reinterpret_cast<DWORD_PTR>(this)),
        m_hRequestCompleteEvent);
    if (read != StepOk) {
      CloseRequest();
      return read == StepStopped ? StepStopped : StepFailed;
    }
    if (buffers.dwBufferLength == 0) {
      // An answer cut before its announced length is no answer; the upload is not replayed.
      if (announced != kUnknownLength && announced != m_nOffset) {
        m_nErrorCode = DOWNLOAD_LENGTH_MISMATCH;
        return StepFailed;
      }
      return StepDone;
    }
    if (m_pResponse->Size() + buffers.dwBufferLength > kMaxMemoryBody ||
        m_pResponse->Append(piece, buffers.dwBufferLength) != 0) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
    m_nTotal += buffers.dwBufferLength;
    m_nOffset += buffers.dwBufferLength;
    NotifyProgress();
  }
}

long CHttpTask::EndRequest() {
  if (!m_hRequest) return 0;
  if (HttpEndRequestW(m_hRequest, nullptr, 0, 0)) return 0;
  NoteLastError();
  if (GetLastError() == ERROR_IO_PENDING) {
    CEvent* signalled = nullptr;
    bool stop = false;
    AwaitEvents(&signalled, &stop);
    if (signalled == &m_hRequestCompleteEvent && !m_bRequestFailed) return 0;
  }
  CloseRequest();
  return E_FAIL;
}

// ---- messages ---------------------------------------------------------------------------

long CHttpTask::OnDealMessage(UINT message, std::unique_ptr<HttpMsgData> data) {
  if (!EndsReports(message)) {
    HoldMessage(message, std::move(data));
    return 0;
  }
  CPostBatch batch;  // the caller's thread wakes once for all of them
  FlushMessages();   // earlier messages go first
  PostToSink(message, std::move(data));
  return 0;
}

void CHttpTask::PostToSink(UINT message, std::unique_ptr<HttpMsgData> data) {
  WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage Enter");
  if (IsStopped()) return;  // a stopped task reports nothing more; `data` is freed
  WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage Call");
  messageSink.load()(message, m_nCookie, std::move(data));
}

void CHttpTask::HoldMessage(UINT message, std::unique_ptr<HttpMsgData> data) {
  if (m_held.empty()) m_dwHeldSince = timeGetTime();
  m_held.emplace_back(message, std::move(data));
  if (m_held.size() >= kHeldMessages || timeGetTime() - m_dwHeldSince >= kHoldMs) {
    FlushMessages();
  }
}

void CHttpTask::AwaitEvents(CEvent** signalled, bool* stop) {
  if (!m_held.empty()) {
    // Held messages wait with the task, but never longer than the batch's time allows.
    const DWORD age = timeGetTime() - m_dwHeldSince;
    if (age < kHoldMs) {
      WaitForEvents(signalled, stop, kHoldMs - age);
      if (*signalled) return;
    }
    FlushMessages();
  }
  WaitForEvents(signalled, stop);
}

void CHttpTask::FlushMessages() {
  if (m_held.empty()) return;
  std::vector<std::pair<UINT, std::unique_ptr<HttpMsgData>>> held;
  held.swap(m_held);
  CPostBatch batch;
  for (auto& [message, data] : held) PostToSink(message, std::move(data));
}

void CHttpTask::NotifyConnecting() {
  OnDealMessage(WM_HTTPDOWNLOAD_CONNECTING, nullptr);
}

void CHttpTask::NotifyConnected() {
  OnDealMessage(WM_HTTPDOWNLOAD_CONNECTED, nullptr);
}

void CHttpTask::NotifyDownloadStart() {
  OnDealMessage(WM_HTTPDOWNLOAD_DOWNLOAD_START, nullptr);
}

void CHttpTask::NotifyError() {
  OnDealMessage(WM_HTTPDOWNLOAD_ERROR, nullptr);
}

void CHttpTask::NotifyAuthRequired() {
  OnDealMessage(WM_HTTPDOWNLOAD_AUTH_REQ, nullptr);
}

void CHttpTask::NotifyProgress() {
  auto message = std::make_unique<HttpMsgData>();
  message->code = DOWNLOAD_PROGRESS;
  message->kind = 2;
  message->out.reset(new tagDataOut);
  message->out->data = new unsigned char[8];
  PutLittleEndian(message->out->data, ProgressField(m_nOffset));
  PutLittleEndian(message->out->data + 4,
                  m_nTotal == kUnknownLength ? 0xFFFFFFFFu : ProgressField(m_nTotal));
  message->out->dataLength = 8;
  message->out->elapsedMs = timeGetTime() - m_dwCreateTick;
  message->out->httpStatus = 0;
  OnDealMessage(WM_HTTPDOWNLOAD_PROGRESS, std::move(message));
}

void CHttpTask::NotifyRedirect() {
  auto message = std::make_unique<HttpMsgData>();
  message->code = DOWNLOAD_REDIRECT;
  message->kind = 3;
  message->out.reset(new tagDataOut);
  message->out->text = m_strUrl;
  message->out->elapsedMs = timeGetTime() - m_dwCreateTick;
  message->out->httpStatus = m_nHttpStatus;
  OnDealMessage(WM_HTTPDOWNLOAD_REDIRECT, std::move(message));
}

void CHttpTask::NotifyComplete() {
  const DWORD transfer = ElapsedSince(m_dwPhaseStart);
  m_dwTransferMs.store(transfer);
  UINT id;
  if (m_nKind == HTTP_KIND_FILE || m_nKind == HTTP_KIND_MEMORY) {
    id = WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE;
  } else if (m_nKind == HTTP_KIND_UPLOAD) {
    id = WM_HTTPDOWNLOAD_UPLOAD_COMPLETE;
  } else {
    return;
  }
  auto message = std::make_unique<HttpMsgData>();
  message->code = static_cast<DOWNLOAD_ERRORCODE>(m_nErrorCode);
  message->kind = 1;
  message->out.reset(new tagDataOut);
  message->out->text = m_strRawHeaders;
  message->out->httpStatus = m_nHttpStatus;
  message->out->elapsedMs = transfer;
  if (m_nErrorCode != DOWNLOAD_OK && m_nErrorCode != DOWNLOAD_NOT_MODIFIED) {
    message->out->failure = FailureCause();
    if (message->out->failure == ZV_FAILURE_DESTINATION_UNWRITABLE) {
      message->out->systemError = m_nSystemError;
    }
  }
  if (m_nKind != HTTP_KIND_FILE && m_pResponse && m_pResponse->Size() > 0) {
    // The buffer was allocated with new[]; the message owns it from here (no copy).
    const size_t size = m_pResponse->Size();
    message->out->data = m_pResponse->Release();
    message->out->dataLength = static_cast<uint32_t>(size);
  }
  OnDealMessage(id, std::move(message));
}

// ---- probe ------------------------------------------------------------------------------

int CHttpTask::IsUrlReachable(const wchar_t* destination) {
  if (!destination) return 0;
  HINTERNET session = OpenInternetSession(0);
  if (!session) return 0;
  // The proxy's credentials go on the session: InternetOpenUrlW sends before they could be
  // set on its request, and without them an authenticating proxy refuses every probe.
  std::wstring user = m_proxy.user, password = m_proxy.password;
  if (m_proxy.needAuth &&
      (!InternetSetOptionW(session, INTERNET_OPTION_PROXY_USERNAME, user.data(),
                           static_cast<DWORD>(user.size())) ||
       !InternetSetOptionW(session, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                           static_cast<DWORD>(password.size())))) {
    InternetCloseHandle(session);
    return 0;
  }
  HINTERNET url = InternetOpenUrlW(session, destination, nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  const int reachable = url ? 1 : 0;
  if (url) InternetCloseHandle(url);
  InternetCloseHandle(session);
  return reachable;
}
