// CHttpTask: uploads (a POST of the caller's bytes, then its answer into memory).
#include <algorithm>

#include "frame/Log.h"
#include "http/HttpTask.h"
#include "platform/win32/MessageWindow.h"

namespace {

constexpr DWORD kUploadPiece = 1024;
constexpr DWORD kAnswerPiece = 4096;
constexpr DWORD kUploadConnectRetries = 3;
constexpr int kUploadAttempts = 3;

}  // namespace

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
  Step written = WriteUploadBody();
  if (written != StepOk) return written;
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
  NotifyDownloadStart();
  return ReadUploadAnswer();
}

CHttpTask::Step CHttpTask::WriteUploadBody() {
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
  return StepOk;
}

CHttpTask::Step CHttpTask::ReadUploadAnswer() {
  uint64_t announced = kUnknownLength;
  QueryContentLength(&announced);
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
