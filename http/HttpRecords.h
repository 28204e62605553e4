// Records and message numbers shared inside the HTTP family: what the service hands a worker
// (HttpTaskParam) and what a task hands back to the service (HttpMsgData).
#ifndef ZVNET_HTTP_HTTPRECORDS_H_
#define ZVNET_HTTP_HTTPRECORDS_H_

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32/WinTypes.h"
#include "zvnet/zvhttp.h"

inline constexpr UINT WM_HTTPDOWNLOAD_CONNECTING = 2245;
inline constexpr UINT WM_HTTPDOWNLOAD_CONNECTED = 2246;
inline constexpr UINT WM_HTTPDOWNLOAD_DOWNLOAD_START = 2247;
inline constexpr UINT WM_HTTPDOWNLOAD_PROGRESS = 2248;
inline constexpr UINT WM_HTTPDOWNLOAD_DOWNLOAD_COMPLETE = 2249;
inline constexpr UINT WM_HTTPDOWNLOAD_REDIRECT = 2250;
inline constexpr UINT WM_HTTPDOWNLOAD_ERROR = 2251;
inline constexpr UINT WM_HTTPDOWNLOAD_THREAD_QUIT = 2252;
inline constexpr UINT WM_HTTPDOWNLOAD_UPLOAD_COMPLETE = 2253;
inline constexpr UINT WM_HTTPDOWNLOAD_AUTH_REQ = 2254;

// Kinds of request (HttpTaskParam::kind, HttpTaskRecord::kind).
inline constexpr int32_t HTTP_KIND_FILE = 1;
inline constexpr int32_t HTTP_KIND_MEMORY = 2;
inline constexpr int32_t HTTP_KIND_UPLOAD = 3;

// The bytes of an upload. Owned by whoever holds the record.
struct UploadData {
  std::unique_ptr<unsigned char[]> data;
  uint32_t length = 0;
};

// An accepted request as the worker and the task see it.
struct HttpTaskParam {
  tagDefHttpPar par;
  std::optional<SYSTEMTIME> ifModifiedSince;
  uint32_t startOffset = 0;
  std::wstring savePath;
  std::shared_ptr<UploadData> uploadData;  // handed on to the task when it is built
  int32_t kind = HTTP_KIND_MEMORY;
  int32_t taskId = 0;
  bool reportType = false;
};

// What a task reports with a message; owned by whoever holds it. The result record is held
// in place (a heap block per message cost more than the record); its payload, allocated
// with malloc, is owned too and freed with it.
struct HttpMsgData {
  DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
  int32_t kind = 1;  // 1 normally, 2 progress, 3 redirect

  HttpMsgData() = default;
  HttpMsgData(HttpMsgData&& other) noexcept
      : code(other.code), kind(other.kind), out(std::move(other.out)), hasOut(other.hasOut) {
    other.Forget();
  }
  HttpMsgData& operator=(HttpMsgData&& other) noexcept {
    if (this != &other) {
      std::free(out.data);
      code = other.code;
      kind = other.kind;
      out = std::move(other.out);
      hasOut = other.hasOut;
      other.Forget();
    }
    return *this;
  }
  ~HttpMsgData() { std::free(out.data); }

  // Gives the message a result record (empty at first) and answers it.
  tagDataOut& MakeOut() {
    hasOut = true;
    return out;
  }
  // The record as the callback gets it; null when there is none.
  tagDataOut* Out() { return hasOut ? &out : nullptr; }

 private:
  // After a move: the payload belongs to the new holder.
  void Forget() {
    out.data = nullptr;
    out.dataLength = 0;
    hasOut = false;
  }

  tagDataOut out;
  bool hasOut = false;
};

#endif  // ZVNET_HTTP_HTTPRECORDS_H_
