#include "platform/wininet/WinInet.h"

#include <curl/curl.h>

#include <cwchar>
#include <string>

#include "platform/win32/MessageWindow.h"
#include "platform/win32/StringConv.h"
#include "platform/wininet/InternetConnection_linux.h"
#include "platform/wininet/InternetCookies_linux.h"
#include "platform/wininet/InternetHandleTable_linux.h"
#include "platform/wininet/InternetRequest_linux.h"
#include "platform/wininet/InternetSession_linux.h"
#include "platform/wininet/InternetShare_linux.h"

namespace {

std::string Narrow(const wchar_t* text) {
  return text ? WideToUtf8(text) : std::string();
}

std::string Narrow(const wchar_t* text, DWORD length) {
  if (!text) return {};
  if (length == static_cast<DWORD>(-1)) return WideToUtf8(text);
  return WideToUtf8(std::wstring_view(text, length));
}

template <typename T>
std::shared_ptr<T> FindAs(HINTERNET handle, DWORD type) {
  std::shared_ptr<CInternetHandle> object = CInternetHandleTable::Get().Find(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (object->Type() != type) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(object);
}

std::shared_ptr<CInternetRequest> FindRequest(HINTERNET handle) {
  return FindAs<CInternetRequest>(handle, INTERNET_HANDLE_TYPE_HTTP_REQUEST);
}

// A request starts with the proxy credentials that its session holds.
void InheritProxyCredentials(CInternetSession& session, CInternetRequest& request) {
  for (DWORD option : {INTERNET_OPTION_PROXY_USERNAME, INTERNET_OPTION_PROXY_PASSWORD}) {
    std::wstring value = session.ProxyCredential(option);
    if (!value.empty()) request.SetOption(option, value.data(), static_cast<DWORD>(value.size()));
  }
}

// Reports the new handle to the parent's callback, on the calling thread before the call
// returns, as WinINet does. A parent closed by another thread while the child was being made
// may have left the table without it: the child is then closed as it would have been, so that
// a synchronous call on it ends at once instead of waiting for its time-outs. (A child shares
// its parent's shard, so the parent's removal comes wholly before the Add or after it.)
HINTERNET Register(std::shared_ptr<CInternetHandle> object) {
  HINTERNET handle = CInternetHandleTable::Get().Add(object);
  INTERNET_ASYNC_RESULT result{reinterpret_cast<DWORD_PTR>(handle), 0};
  object->Notify(INTERNET_STATUS_HANDLE_CREATED, &result, sizeof result);
  const auto& parent = object->Parent();
  if (parent && !CInternetHandleTable::Get().Find(parent->Handle())) InternetCloseHandle(handle);
  return handle;
}

// Escapes what a request line cannot carry (blanks, controls, bytes above 0x7E).
std::string EscapeObject(const std::string& object) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : object) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
  return out;
}

std::string HostForUrl(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

}  // namespace

HINTERNET InternetOpenW(const wchar_t* agent, DWORD accessType, const wchar_t* proxy,
                        const wchar_t* proxyBypass, DWORD flags) {
  if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
      accessType != INTERNET_OPEN_TYPE_PROXY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  CInternetSession::Proxy settings = CInternetSession::ParseProxy(accessType, proxy ? proxy : L"",
                                                                  proxyBypass ? proxyBypass : L"");
  auto session = std::make_shared<CInternetSession>(Narrow(agent), std::move(settings),
                                                    (flags & INTERNET_FLAG_ASYNC) != 0);
  CInternetShare::Get();  // libcurl is set up with the first session
  return CInternetHandleTable::Get().Add(std::move(session));
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET handle,
                                                    INTERNET_STATUS_CALLBACK callback) {
  std::shared_ptr<CInternetHandle> object = CInternetHandleTable::Get().Find(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INTERNET_INVALID_STATUS_CALLBACK;
  }
  return object->SetCallback(callback);
}

HINTERNET InternetConnectW(HINTERNET session, const wchar_t* serverName, INTERNET_PORT port,
                           const wchar_t* userName, const wchar_t* password, DWORD service,
                           DWORD flags, DWORD_PTR context) {
  auto parent = FindAs<CInternetSession>(session, INTERNET_HANDLE_TYPE_INTERNET);
  if (!parent) return nullptr;
  if (service != INTERNET_SERVICE_HTTP || !serverName || !*serverName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto connection = std::make_shared<CInternetConnection>(
      parent, Narrow(serverName), port, Narrow(userName), Narrow(password), context);
  return Register(std::move(connection));
}

HINTERNET HttpOpenRequestW(HINTERNET connection, const wchar_t* verb, const wchar_t* objectName,
                           const wchar_t* version, const wchar_t* referrer,
                           const wchar_t** acceptTypes, DWORD flags, DWORD_PTR context) {
  auto parent = FindAs<CInternetConnection>(connection, INTERNET_HANDLE_TYPE_CONNECT_HTTP);
  if (!parent) return nullptr;
  CInternetRequest::Setup setup;
  setup.verb = verb && *verb ? Narrow(verb) : "GET";
  setup.version = version && *version ? Narrow(version) : "HTTP/1.1";
  setup.referrer = Narrow(referrer);
  for (const wchar_t** type = acceptTypes; type && *type; ++type) {
    if (!setup.accept.empty()) setup.accept += ", ";
    setup.accept += Narrow(*type);
  }
  setup.flags = flags;
  const bool secure = (flags & INTERNET_FLAG_SECURE) != 0;
  INTERNET_PORT port = parent->port != 0
                           ? parent->port
                           : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
  setup.url = std::string(secure ? "https://" : "http://") + HostForUrl(parent->host) + ":" +
              std::to_string(port) + EscapeObject(Narrow(objectName));
  setup.user = parent->user;
  setup.password = parent->password;
  auto request = std::make_shared<CInternetRequest>(parent, std::move(setup), context);
  if (parent->Session()) InheritProxyCredentials(*parent->Session(), *request);
  return Register(std::move(request));
}

BOOL HttpAddRequestHeadersW(HINTERNET request, const wchar_t* headers, DWORD length,
                            DWORD modifiers) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  if (!headers) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return object->AddHeaders(Narrow(headers, length), modifiers);
}

BOOL HttpSendRequestW(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                      void* optional, DWORD optionalLength) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  std::string body;
  if (optional && optionalLength) body.assign(static_cast<const char*>(optional), optionalLength);
  return object->Send(Narrow(headers, headersLength), std::move(body));
}

BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffersIn, INTERNET_BUFFERSW*, DWORD,
                        DWORD_PTR) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  std::string headers;
  uint64_t total = 0;
  if (buffersIn) {
    headers =
        Narrow(buffersIn->lpcszHeader, buffersIn->lpcszHeader ? buffersIn->dwHeadersLength : 0);
    total = (static_cast<uint64_t>(buffersIn->dwOffsetHigh) << 32) | buffersIn->dwBufferTotal;
  }
  return object->SendEx(headers, total);
}

BOOL InternetWriteFile(HINTERNET request, const void* buffer, DWORD count, DWORD* written) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  if (!written || (!buffer && count)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return object->Write(buffer, count, written);
}

BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW*, DWORD, DWORD_PTR) {
  auto object = FindRequest(request);
  return object ? object->End() : FALSE;
}

BOOL InternetReadFileExA(HINTERNET request, INTERNET_BUFFERSA* buffersOut, DWORD, DWORD_PTR) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  if (!buffersOut || (!buffersOut->lpvBuffer && buffersOut->dwBufferLength)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return object->Read(buffersOut->lpvBuffer, buffersOut->dwBufferLength,
                      &buffersOut->dwBufferLength);
}

BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD count, DWORD* read) {
  auto object = FindRequest(request);
  if (!object) return FALSE;
  if (!read || (!buffer && count)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return object->Read(buffer, count, read);
}

BOOL HttpQueryInfoW(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD*) {
  auto object = FindRequest(request);
  return object ? object->Query(infoLevel, buffer, bufferLength, true) : FALSE;
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD*) {
  auto object = FindRequest(request);
  return object ? object->Query(infoLevel, buffer, bufferLength, false) : FALSE;
}

BOOL InternetSetOptionW(HINTERNET handle, DWORD option, void* buffer, DWORD bufferLength) {
  std::shared_ptr<CInternetHandle> object = CInternetHandleTable::Get().Find(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (option == INTERNET_OPTION_CONNECT_TIMEOUT || option == INTERNET_OPTION_RECEIVE_TIMEOUT) {
    // Applies to requests made afterwards under the handle's session.
    if (!buffer || bufferLength < sizeof(DWORD) || !object->Session()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    DWORD value = *static_cast<const DWORD*>(buffer);
    (option == INTERNET_OPTION_CONNECT_TIMEOUT ? object->Session()->connectTimeoutMs
                                               : object->Session()->receiveTimeoutMs)
        .store(value);
    return TRUE;
  }
  if ((option == INTERNET_OPTION_PROXY_USERNAME || option == INTERNET_OPTION_PROXY_PASSWORD) &&
      object->Type() == INTERNET_HANDLE_TYPE_INTERNET) {
    // On a session: for the requests opened under it afterwards. Length in characters; 0
    // for a zero-terminated string.
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const wchar_t* text = static_cast<const wchar_t*>(buffer);
    std::wstring value = bufferLength == 0 ? std::wstring(text) : std::wstring(text, bufferLength);
    object->Session()->SetProxyCredential(option, value.substr(0, value.find(L'\0')));
    return TRUE;
  }
  if (object->Type() != INTERNET_HANDLE_TYPE_HTTP_REQUEST) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return FALSE;
  }
  return std::static_pointer_cast<CInternetRequest>(object)->SetOption(option, buffer,
                                                                       bufferLength);
}

BOOL InternetQueryOptionW(HINTERNET handle, DWORD option, void* buffer, DWORD* bufferLength) {
  std::shared_ptr<CInternetHandle> object = CInternetHandleTable::Get().Find(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (option == INTERNET_OPTION_HANDLE_TYPE) {
    if (!buffer || !bufferLength || *bufferLength < sizeof(DWORD)) {
      if (bufferLength) *bufferLength = sizeof(DWORD);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    *static_cast<DWORD*>(buffer) = object->Type();
    *bufferLength = sizeof(DWORD);
    return TRUE;
  }
  if (object->Type() != INTERNET_HANDLE_TYPE_HTTP_REQUEST) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return FALSE;
  }
  return std::static_pointer_cast<CInternetRequest>(object)->QueryOption(option, buffer,
                                                                         bufferLength);
}

BOOL InternetSetCookieW(const wchar_t* url, const wchar_t* cookieName, const wchar_t* cookieData) {
  if (!url || !cookieData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string name = Narrow(cookieName);
  std::string data = Narrow(cookieData);
  if (name.empty()) {
    // "name=value; attributes" in the data alone.
    size_t equals = data.find('=');
    size_t semi = data.find(';');
    if (equals == std::string::npos || (semi != std::string::npos && semi < equals)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    name = data.substr(0, equals);
    data = data.substr(equals + 1);
  }
  if (!CInternetShare::Get().Usable()) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return FALSE;
  }
  if (!CInternetCookies::Set(Narrow(url), name, data)) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return FALSE;
  }
  return TRUE;
}

HINTERNET InternetOpenUrlW(HINTERNET session, const wchar_t* url, const wchar_t* headers,
                           DWORD headersLength, DWORD flags, DWORD_PTR context) {
  auto parent = FindAs<CInternetSession>(session, INTERNET_HANDLE_TYPE_INTERNET);
  if (!parent) return nullptr;
  if (parent->IsAsync()) {
    // Only the synchronous form is provided: nothing here opens URLs asynchronously.
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return nullptr;
  }
  std::string text = Narrow(url);
  CURLU* parts = curl_url();
  char* scheme = nullptr;
  char* full = nullptr;
  bool ok =
      curl_url_set(parts, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_get(parts, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parts, CURLUPART_URL, &full, 0) == CURLUE_OK;
  std::string schemeText = ok ? scheme : "";
  std::string fullText = ok ? full : "";
  curl_free(scheme);
  curl_free(full);
  curl_url_cleanup(parts);
  if (!ok) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  if (schemeText != "http" && schemeText != "https") {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return nullptr;
  }
  CInternetRequest::Setup setup;
  setup.url = fullText;
  setup.flags = flags | (schemeText == "https" ? INTERNET_FLAG_SECURE : 0);
  setup.accept = "*/*";
  auto request = std::make_shared<CInternetRequest>(parent, std::move(setup), context);
  InheritProxyCredentials(*parent, *request);
  HINTERNET handle = Register(request);
  if (!request->Send(Narrow(headers, headers ? headersLength : 0), {})) {
    DWORD error = GetLastError();
    InternetCloseHandle(handle);
    SetLastError(error);
    return nullptr;
  }
  return handle;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  auto removed = CInternetHandleTable::Get().Remove(handle);
  if (removed.empty()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (const auto& object : removed) {
    object->Close();
    HINTERNET value = object->Handle();
    object->Notify(INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value);
  }
  return TRUE;
}
