// CHttpTask: what the task reports, held in batches and handed to its sink.
#include <cstdlib>

#include "frame/DataFolder.h"
#include "frame/Log.h"
#include "http/HttpTask.h"
#include "platform/win32/Clock.h"
#include "platform/win32/PostBatch.h"

namespace {

// At most this many messages (1 MiB of body in progress reports) or this much time between
// hand-overs.
constexpr size_t kHeldMessages = 32;
constexpr DWORD kHoldMs = 10;
constexpr size_t kFirstHeldRoom = 8;

// The messages that end a task's reports: everything held goes with them at once.
bool EndsReports(UINT message) {
  return message == WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE ||
         message == WM_HTTPDOWNLOAD_UPLOAD_COMPLETE || message == WM_HTTPDOWNLOAD_THREAD_QUIT;
}

// A progress value in its 32-bit field: 0xFFFFFFFF is kept for "unknown", so 4 GiB and more
// read as 0xFFFFFFFE.
uint32_t ProgressField(uint64_t value) {
  return value >= 0xFFFFFFFFull ? 0xFFFFFFFEu : static_cast<uint32_t>(value);
}

void PutLittleEndian(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

long CHttpTask::OnDealMessage(UINT message, HttpMsgData&& data) {
  if (!EndsReports(message)) {
    HoldMessage(message, std::move(data));
    return 0;
  }
  CPostBatch batch;  // the caller's thread wakes once for all of them
  FlushMessages();   // earlier messages go first
  PostToSink(message, std::move(data));
  return 0;
}

void CHttpTask::PostToSink(UINT message, HttpMsgData&& data) {
  WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage Enter");
  if (IsStopped()) return;  // a stopped task reports nothing more; `data` is freed
  WriteLog(LOG_TRACE, L"CHttpTask::OnDealMessage Call");
  if (m_sink) m_sink(message, m_nCookie, std::move(data));
}

void CHttpTask::HoldMessage(UINT message, HttpMsgData&& data) {
  if (m_held.empty()) {
    m_dwHeldSince = timeGetTime();
    // Room for a download's first batch (connecting to the first progress) at once.
    if (m_held.capacity() == 0) m_held.reserve(kFirstHeldRoom);
  }
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
  std::vector<std::pair<UINT, HttpMsgData>> held;
  held.swap(m_held);
  CPostBatch batch;
  for (auto& [message, data] : held) PostToSink(message, std::move(data));
  // The list's room serves the next batch.
  held.clear();
  if (m_held.empty()) m_held.swap(held);
}

void CHttpTask::NotifyConnecting() {
  OnDealMessage(WM_HTTPDOWNLOAD_CONNECTING);
}

void CHttpTask::NotifyConnected() {
  OnDealMessage(WM_HTTPDOWNLOAD_CONNECTED);
}

void CHttpTask::NotifyDownloadStart() {
  OnDealMessage(WM_HTTPDOWNLOAD_DOWNLOAD_START);
}

void CHttpTask::NotifyAuthRequired() {
  OnDealMessage(WM_HTTPDOWNLOAD_AUTH_REQ);
}

void CHttpTask::NotifyProgress() {
  HttpMsgData message;
  message.code = DOWNLOAD_PROGRESS;
  message.kind = 2;
  tagDataOut& out = message.MakeOut();
  out.data = static_cast<unsigned char*>(std::malloc(8));
  if (!out.data) return;  // no memory for the record: this progress goes unreported
  PutLittleEndian(out.data, ProgressField(m_nOffset));
  PutLittleEndian(out.data + 4, m_nTotal == kUnknownLength ? 0xFFFFFFFFu : ProgressField(m_nTotal));
  out.dataLength = 8;
  out.elapsedMs = timeGetTime() - m_dwCreateTick;
  out.httpStatus = 0;
  OnDealMessage(WM_HTTPDOWNLOAD_PROGRESS, std::move(message));
}

void CHttpTask::NotifyRedirect() {
  HttpMsgData message;
  message.code = DOWNLOAD_REDIRECT;
  message.kind = 3;
  tagDataOut& out = message.MakeOut();
  out.text = m_strUrl;
  out.elapsedMs = timeGetTime() - m_dwCreateTick;
  out.httpStatus = m_nHttpStatus;
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
  HttpMsgData message;
  message.code = static_cast<DOWNLOAD_ERRORCODE>(m_nErrorCode);
  message.kind = 1;
  tagDataOut& out = message.MakeOut();
  // Only the report after a file download reads the headers again; else they move along.
  if (m_nKind == HTTP_KIND_FILE && IsReportEnabled()) {
    out.text = m_strRawHeaders;
  } else {
    out.text = std::move(m_strRawHeaders);
  }
  out.httpStatus = m_nHttpStatus;
  out.elapsedMs = transfer;
  if (m_nErrorCode != DOWNLOAD_OK && m_nErrorCode != DOWNLOAD_NOT_MODIFIED) {
    out.failure = FailureCause();
    if (out.failure == ZV_FAILURE_DESTINATION_UNWRITABLE) {
      out.systemError = m_nSystemError;
    }
  }
  if (m_nKind != HTTP_KIND_FILE && m_pResponse && m_pResponse->Size() > 0) {
    // The buffer was allocated with malloc; the message owns it from here (no copy).
    const size_t size = m_pResponse->Size();
    out.data = m_pResponse->Release();
    out.dataLength = static_cast<uint32_t>(size);
  }
  OnDealMessage(id, std::move(message));
}
