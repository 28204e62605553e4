// CHttpTask: downloads into memory and into a file (resume, conditional fetch, the answer's
// status, the body's chunks, the end of the file).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include "frame/Log.h"
#include "http/HttpTask.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/StringConv.h"

namespace {

constexpr DWORD kChunkSize = 32768;
// A memory body's first room: what a server announces is taken at its word only up to here;
// beyond it the room grows with the bytes that arrive.
constexpr uint64_t kFirstMemoryRoom = 64 << 20;
constexpr int kMaxAttempts = 2;

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

}  // namespace

bool CHttpTask::IsUsableTime(const SYSTEMTIME& time) {
  if (time.wYear < 1900) return true;  // taken as time value 0
  return time.wMonth >= 1 && time.wMonth <= 12 && time.wDay >= 1 && time.wDay <= 31 &&
         time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60;
}

CHttpTask::Step CHttpTask::RunDownload() {
  if (OpenSessionAndConnect() != StepOk) {
    CloseAll();
    return StepFailed;
  }
  NotifyConnecting();
  int attempts = 0;
  Step result = StepFailed;
  while (attempts < kMaxAttempts) {
    result = SendDownloadRequest();
    if (result == StepRetry) {
      CloseSaveFile();
      CloseRequest();
      ++attempts;
      continue;
    }
    if (result == StepRedirected) {
      if ((m_param.flags & HTTPPAR_STOP_ON_REDIRECT) && !m_bQuietRedirect) {
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
  return attempts >= kMaxAttempts ? StepExhausted : result;
}

CHttpTask::Step CHttpTask::SendDownloadRequest() {
  m_dwLastError = 0;  // an earlier attempt's failure is not this one's
  m_nFailure = ZV_FAILURE_NONE;
  Step result = OpenRequest();
  if (result != StepOk) return result;
  if (m_nKind == HTTP_KIND_FILE && OpenSaveFile() != StepOk) return StepFailed;
  if (m_bHasIfModifiedSince) m_nOffset = 0;  // a conditional fetch never resumes
  if (AddRangeHeader() != 0) return StepFailed;
  if (m_bHasIfModifiedSince && AddIfModifiedSinceHeader() != 0) return StepFailed;
  result = SendDownload();
  if (result != StepOk) return result;
  SetResult(2, m_nErrorCode);
  QueryLastModified();
  NotifyConnected();
  if (QueryStatusCode() != 0) return StepFailed;
  QueryRawHeaders();  // not checked
  return OnDownloadStatus();
}

CHttpTask::Step CHttpTask::SendDownload() {
  if (HttpSendRequestW(m_hRequest, m_strHeaders.c_str(), static_cast<DWORD>(m_strHeaders.size()),
                       nullptr, 0)) {
    return StepOk;
  }
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
  return waited == StepOk ? StepOk : StepFailed;
}

CHttpTask::Step CHttpTask::OnDownloadStatus() {
  switch (m_nHttpStatus) {
    case 200: {
      QueryContentLength(&m_nTotal);
      Step result = OnResponseOk();
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
    case 308:
      if (m_bQuietRedirect) return OnRedirect();  // what WinINet itself would follow
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
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

// ---- the file ---------------------------------------------------------------------------

CHttpTask::Step CHttpTask::OpenSaveFile() {
  if (!m_pSaveFile) return StepFailed;
  switch (m_pSaveFile->Open()) {
    case CDownloadFile::OpenResult::kOpened:
      break;
    case CDownloadFile::OpenResult::kNoFile:
      NoteFileError(errno);
      WriteLog(LOG_FAIL, L"CHttpTask::OpenSaveFile Failed1 [%s]",
               m_pSaveFile->Destination().c_str());
      return StepFailed;
    case CDownloadFile::OpenResult::kNoStream:
      WriteLog(LOG_FAIL, L"CHttpTask::OpenSaveFile Failed2 [%s]",
               m_pSaveFile->Destination().c_str());
      return StepFailed;
  }
  return m_pSaveFile->SeekForResume(m_nOffset) ? StepOk : StepFailed;
}

long CHttpTask::WriteSaveFile(DWORD count) {
  if (!m_pSaveFile || !m_pSaveFile->IsOpen()) return E_FAIL;
  if (m_pSaveFile->Write(m_pChunk.get(), count)) return 0;
  NoteFileError(errno);
  return E_FAIL;
}

long CHttpTask::FinishSaveFile() {
  // The last buffered bytes must reach the file before the body counts as complete.
  if (m_pSaveFile && !m_pSaveFile->Flush()) {
    NoteFileError(errno);
    return E_FAIL;
  }
  return 0;
}

void CHttpTask::CloseSaveFile() {
  FinishSaveFile();
  if (m_pSaveFile) m_pSaveFile->Close();
}

bool CHttpTask::MoveIntoPlace() {
  int error = 0;
  if (m_pSaveFile && m_pSaveFile->MoveIntoPlace(&error)) return true;
  NoteFileError(error);
  return false;
}

// ---- the answer -------------------------------------------------------------------------

CHttpTask::Step CHttpTask::OnResponseOk() {
  if (!m_hRequest) return StepFailed;
  if (m_nOffset != 0) return StepFailed;  // the server ignored the range
  if (m_nKind != HTTP_KIND_FILE) return ReadResponse();
  if (!m_pSaveFile || !m_pSaveFile->Truncate(0)) return StepFailed;
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
  if (!m_pSaveFile || !m_pSaveFile->Truncate(m_nOffset)) return StepFailed;
  return ReadResponse();
}

CHttpTask::Step CHttpTask::ReadResponse() {
  Step prepared = PrepareResponse();
  if (prepared != StepOk) return prepared;
  uint64_t remaining =
      (m_nTotal == kUnknownLength || m_nTotal < m_nOffset) ? UINT64_MAX : m_nTotal - m_nOffset;
  for (;;) {
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(kChunkSize, remaining));
    DWORD got = 0;
    // The body is read straight into the memory body's room or the file's write buffer,
    // saving a copy.
    unsigned char* inPlace = InPlaceRoom(wanted);
    if (wanted > 0) {
      Step read = ReadChunk(inPlace ? inPlace : ChunkBuffer(), wanted, &got);
      // A body cut by the connection (a chunked one that never got its last chunk too) is
      // tried again as one cut short of its length is.
      if (read == StepFailed && FailureCause() == ZV_FAILURE_CONNECTION_LOST) return StepRetry;
      if (read != StepOk) return read;
    } else if (TakeStopSignal()) {
      return StepStopped;
    }
    if (!inPlace) m_pChunk[got] = 0;
    if (got == 0) return EndOfBody();
    Step kept = KeepChunk(inPlace != nullptr, got);
    if (kept != StepOk) return kept;
    m_nOffset += got;
    remaining -= got;
    m_nBytesReceived += got;
    NotifyProgress();
  }
}

unsigned char* CHttpTask::InPlaceRoom(DWORD wanted) {
  if (m_nKind == HTTP_KIND_MEMORY) {
    const bool lengthKnown = m_nTotal != kUnknownLength && m_nTotal <= kMaxMemoryBody;
    if (m_pResponse->MakeRoom(wanted, lengthKnown ? static_cast<size_t>(m_nTotal) : 0) != 0) {
      return nullptr;
    }
    return m_pResponse->Tail(wanted);
  }
  if (m_nKind == HTTP_KIND_FILE && m_pSaveFile) return m_pSaveFile->Tail(wanted);
  return nullptr;
}

unsigned char* CHttpTask::ChunkBuffer() {
  if (!m_pChunk) m_pChunk.reset(new unsigned char[kChunkSize + 2]);
  return m_pChunk.get();
}

CHttpTask::Step CHttpTask::PrepareResponse() {
  NotifyDownloadStart();
  // Only a memory body lands in the response buffer; a file's goes to the file's own buffer.
  if (m_nKind != HTTP_KIND_MEMORY) return StepOk;
  const bool lengthKnown =
      m_nTotal != kUnknownLength && m_nTotal > m_nOffset && m_nTotal <= kMaxMemoryBody;
  // A body of known length gets its first room in one allocation, at most kFirstMemoryRoom;
  // otherwise, or when that much memory is not to be had, a small first room that grows.
  const size_t firstRoom =
      lengthKnown ? static_cast<size_t>(std::min<uint64_t>(m_nTotal, kFirstMemoryRoom)) : 0;
  if (m_pResponse) {
    // A later attempt starts from nothing: what an earlier one delivered is dropped (a memory
    // download is never resumed, so its offset is 0).
    m_pResponse->Truncate(static_cast<size_t>(m_nOffset));
    m_pResponse->Reserve(firstRoom);  // else MakeRoom grows
    return StepOk;
  }
  auto room = std::make_unique<GrowBuffer>(GrowBuffer::Empty{});
  if (!lengthKnown || room->Reserve(firstRoom) != 0) {
    room = std::make_unique<GrowBuffer>();
    if (room->Capacity() == 0) {
      m_nErrorCode = DOWNLOAD_FAILED;
      return StepFailed;
    }
  }
  m_pResponse = std::move(room);
  return StepOk;
}

CHttpTask::Step CHttpTask::ReadChunk(unsigned char* into, DWORD wanted, DWORD* got) {
  INTERNET_BUFFERSA buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpvBuffer = into;
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
  *got = buffers.dwBufferLength;
  return StepOk;
}

CHttpTask::Step CHttpTask::KeepChunk(bool inPlace, DWORD got) {
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
  } else if (m_nKind == HTTP_KIND_FILE && inPlace) {
    m_pSaveFile->Commit(got);
  } else if (m_nKind == HTTP_KIND_FILE && WriteSaveFile(got) != 0) {
    m_nErrorCode = DOWNLOAD_WRITE_FAILED;
    return StepRetry;
  }
  return StepOk;
}

CHttpTask::Step CHttpTask::EndOfBody() {
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

CHttpTask::Step CHttpTask::FinishDownload(Step result) {
  if (result != StepDone && result != StepNotModified) {
    if (m_nErrorCode == 0) m_nErrorCode = DOWNLOAD_FAILED;
    // A stopped download keeps its temporary file so that a later request can resume.
    if (m_nKind == HTTP_KIND_FILE && result != StepStopped && m_pSaveFile) m_pSaveFile->Remove();
    m_bSucceeded = 0;
    SetResult(4, m_nErrorCode);
    NotifyComplete();
    return result;
  }
  SetResult(3, m_nErrorCode);
  if (m_nKind == HTTP_KIND_FILE) {
    if (result == StepNotModified) {
      if (m_pSaveFile) m_pSaveFile->Remove();
    } else if (!MoveIntoPlace()) {
      // The data stays in the temporary file; the caller is told it did not arrive.
      m_nErrorCode = DOWNLOAD_WRITE_FAILED;
      m_bSucceeded = 0;
    }
  }
  NotifyComplete();
  return result;
}
