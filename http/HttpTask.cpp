// CHttpTask: set-up, lifecycle, waits, the WinINet handles, statuses and head queries.
#include "http/HttpTask.h"

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "frame/DataFolder.h"
#include "frame/Log.h"
#include "frame/SplitUrl.h"
#include "http/HttpTaskRegistry.h"
#include "http/ProxySession.h"
#include "http/report/CdnReport.h"
#include "platform/win32/Clock.h"
#include "platform/win32/MessageWindow.h"

namespace {

constexpr wchar_t kUrlBlanks[] = L"\r\n\t ";
constexpr wchar_t kPathBlanks[] = L" \t";
// The certificate chain and the host name are verified; only the validity dates are
// tolerated, because user machines often have wrong clocks.
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
constexpr DWORD kPlainFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kConnectFlags = INTERNET_FLAG_RELOAD;
// How long closing a request waits for a pending read to end.
constexpr DWORD kRequestClosingMs = 30000;

void CALLBACK EmptyStatusCallback(HINTERNET, DWORD_PTR, DWORD, void*, DWORD) {}

std::wstring Trim(std::wstring_view text, std::wstring_view blanks) {
  const size_t begin = text.find_first_not_of(blanks);
  if (begin == std::wstring_view::npos) return {};
  return std::wstring(text.substr(begin, text.find_last_not_of(blanks) - begin + 1));
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
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return ZV_FAILURE_MALFORMED_RESPONSE;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      return ZV_FAILURE_CONNECTION_LOST;
    default:
      return ZV_FAILURE_OTHER;
  }
}

}  // namespace

CHttpTask::CHttpTask(int cookie, const TaskMessageSink& sink)
    : m_nCookie(cookie), m_sink(sink), m_dwCreateTick(timeGetTime()) {
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
  // Run closes everything; this covers a task deleted without running to its end. Closing
  // comes first: the request's closing status finds the task through the registry.
  CloseRequest();
  CloseConnection();
  CloseSession();
  if (CHttpTaskRegistry::Get().Remove(this)) {
    WriteLog(LOG_TRACE, L"CHttpTask::~CHttpTask this true");
  }
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

void CHttpTask::KeepRequest(const tagDefHttpPar& par) {
  m_param.cookies = par.cookies;
  m_param.referrer = par.referrer;
  m_param.flags = par.flags;
  // Cookies are set for the address as the caller wrote it, before any redirect.
  if (!par.cookies.empty()) m_param.url = par.url;
  m_strHeaders = par.headers;
}

long CHttpTask::InitDownload(const tagDefHttpPar* par, const SYSTEMTIME* ifModifiedSince,
                             uint32_t startOffset, const wchar_t* path, bool startNow,
                             bool report) {
  if (!par) return E_FAIL;
  KeepRequest(*par);
  m_nKind = HTTP_KIND_MEMORY;
  std::wstring savePath = path ? Trim(path, kPathBlanks) : std::wstring();
  if (!savePath.empty()) m_nKind = HTTP_KIND_FILE;
  if (!ParseUrl(*par, true)) {
    m_nFailure = ZV_FAILURE_BAD_URL;
    return E_FAIL;
  }
  // A time the runtime cannot take is refused here, before any traffic.
  if (ifModifiedSince && !IsUsableTime(*ifModifiedSince)) return E_FAIL;
  if (!savePath.empty()) m_pSaveFile = std::make_unique<CDownloadFile>(std::move(savePath));
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
  KeepRequest(*par);
  m_pUploadData = std::move(data);
  if (!m_pResponse) m_pResponse = std::make_unique<GrowBuffer>();  // for the answer
  m_bPost = 1;
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
  OnDealMessage(WM_HTTPDOWNLOAD_THREAD_QUIT);
  const DWORD start = timeGetTime();
  if (m_nKind == HTTP_KIND_FILE) ReportCdnPerf();
  WriteLog(LOG_FAIL, L"CHttpTask::PostRun  [%ld]", static_cast<long>(timeGetTime() - start));
  return 0;
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
  // Switched off (read once per process), the report would do nothing with the facts.
  if (!IsReportEnabled()) return;
  // The report gets the measured facts only: it never sees the task.
  CdnReportFacts facts;
  facts.reportFlag = m_bReport;
  facts.errorCode = m_nErrorCode;
  facts.host = m_url.hostName;
  facts.rawHeaders = m_strRawHeaders;
  const Timing timing = GetTiming();
  facts.nameResolutionMs = timing.nameResolution;
  facts.connectMs = timing.connect;
  facts.firstResponseMs = timing.firstResponse;
  facts.transferMs = timing.transfer;
  facts.bytesReceived = m_nBytesReceived;
  facts.httpStatus = m_nHttpStatus;
  facts.url = UrlWithoutUserInfo(m_strUrl);  // the report goes out in the clear and is logged
  facts.stopped = IsStopped();
  CCdnReport(std::move(facts), m_proxy, &stopEvent).Run();
}

CHttpTask::Timing CHttpTask::GetTiming() const {
  return {m_dwNameResolutionMs.load(), m_dwConnectMs.load(), m_dwFirstResponseMs.load(),
          m_dwTransferMs.load()};
}

DWORD CHttpTask::ElapsedSince(std::atomic<DWORD>& start) {
  DWORD begun = start.exchange(0);
  return begun == 0 ? kNotMeasured : timeGetTime() - begun;
}

// ---- waits and failures -----------------------------------------------------------------

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

// ---- session, connection, request -------------------------------------------------------

CHttpTask::Step CHttpTask::OpenSession() {
  m_hSession = OpenProxySession(m_proxy, INTERNET_FLAG_ASYNC);
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
  if (!m_param.cookies.empty()) {
    const std::wstring cookieUrl = Trim(m_param.url, kUrlBlanks);
    for (const auto& [name, value] : m_param.cookies) {
      InternetSetCookieW(cookieUrl.c_str(), name.c_str(), value.c_str());  // not checked
    }
  }
  const wchar_t* accept[] = {L"*/*", nullptr};
  DWORD flags = kSecureFlags;
  if (!m_bSecure) {
    flags = kPlainFlags;
    if (m_bPost || (m_param.flags & HTTPPAR_NO_AUTO_REDIRECT)) {
      flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    }
  }
  m_bQuietRedirect = (flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
  flags |= kTaskRedirectFlags;
  HINTERNET request =
      HttpOpenRequestW(m_hConnect, m_bPost ? L"POST" : L"GET", object.c_str(), L"HTTP/1.1",
                       m_param.referrer.c_str(), accept, flags, reinterpret_cast<DWORD_PTR>(this));
  if (request) {
    m_hRequest = request;
  } else {
    Step waited = AwaitRequestHandle();
    if (waited != StepOk) return waited;
  }
  m_hHandleCreatedEvent.Reset();
  if (!m_hRequest) {
    m_nErrorCode = DOWNLOAD_FAILED;
    return StepFailed;
  }
  // No SECURITY_FLAG_IGNORE_UNKNOWN_CA here: an unknown authority fails the request.
  if (!SetProxyCredentials(m_hRequest, m_proxy)) {
    m_nErrorCode = DOWNLOAD_FAILED;
    return StepFailed;
  }
  return StepOk;
}

CHttpTask::Step CHttpTask::AwaitRequestHandle() {
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
  return StepOk;
}

void CHttpTask::CloseRequest() {
  if (!m_hRequest) return;
  // A read may still be pending on the handle, into the task's buffers and this thread's
  // frame. WinINet ends it (cancelled) and only then reports the handle closing, its last
  // status; the stand-in does all of it within InternetCloseHandle.
  m_hRequestClosedEvent.Reset();
  InternetSetStatusCallbackW(m_hRequest, &CHttpTask::ClosingStatusCallback);
  InternetCloseHandle(m_hRequest);
  m_hRequest = nullptr;
  if (m_hRequestClosedEvent.Wait(kRequestClosingMs) != WAIT_OBJECT_0) {
    WriteLog(LOG_FAIL, L"CHttpTask::CloseRequest no closing status");
  }
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

void CALLBACK CHttpTask::ClosingStatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void*,
                                               DWORD) {
  if (status != INTERNET_STATUS_HANDLE_CLOSING) return;
  auto* task = reinterpret_cast<CHttpTask*>(context);
  if (CHttpTaskRegistry::Get().Contains(task)) task->m_hRequestClosedEvent.Set();
}

void CALLBACK CHttpTask::InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                                void* information, DWORD length) {
  auto* task = reinterpret_cast<CHttpTask*>(context);
  if (!CHttpTaskRegistry::Get().Contains(task)) {
    WriteLog(LOG_TRACE, L"CHttpTask::InternetStatusCallback not find this:%d",
             static_cast<int>(context));
    return;
  }
  task->OnStatusCallback(handle, status, information, length);
}

void CHttpTask::OnStatusCallback(HINTERNET handle, DWORD status, void* information, DWORD) {
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
    case INTERNET_STATUS_REQUEST_COMPLETE:
      if (m_dwFirstResponseMs.load() == kNotMeasured) {
        m_dwFirstResponseMs.store(ElapsedSince(m_dwPhaseStart));
      }
      OnRequestComplete(handle, information);
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      // WinINet does not promise to take a new callback while a request on the handle is
      // pending, which is when CloseRequest swaps it: the closing may still arrive here.
      m_hRequestClosedEvent.Set();
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
  if (HttpQueryInfoW(m_hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64, &value,
                     &size, nullptr)) {
    *length = value;
    return 0;
  }
  // A WinINet without the 64-bit form (Wine's) answers the text; without the length a cut
  // body could not be told from a whole one.
  *length = kUnknownLength;
  std::wstring text;
  if (!QueryHeaderText(HTTP_QUERY_CONTENT_LENGTH, &text) || text.empty() || text.size() > 19 ||
      text.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return 0;
  }
  *length = std::wcstoull(text.c_str(), nullptr, 10);
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

bool CHttpTask::QueryHeaderText(DWORD info, std::wstring* text) {
  if (!m_hRequest) return false;
  DWORD size = 0;
  if (!HttpQueryInfoW(m_hRequest, info, nullptr, &size, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  text->assign(size / sizeof(wchar_t) + 1, L'\0');
  if (!HttpQueryInfoW(m_hRequest, info, text->data(), &size, nullptr)) return false;
  text->resize(size / sizeof(wchar_t));
  return true;
}

long CHttpTask::QueryRawHeaders() {
  std::wstring text;
  if (!QueryHeaderText(HTTP_QUERY_RAW_HEADERS_CRLF, &text)) return E_FAIL;
  m_strRawHeaders = std::move(text);
  return 0;
}
