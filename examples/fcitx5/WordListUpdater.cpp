#include "WordListUpdater.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <optional>

namespace {

constexpr unsigned int kFetchTimeoutMs = 60000;

// UTF-8 to the library's wide strings (UTF-32 here); a malformed byte becomes U+FFFD.
std::wstring Widen(const std::string& text) {
  static constexpr unsigned char kLeadMask[] = {0x7F, 0x1F, 0x0F, 0x07};
  std::wstring wide;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80             ? 0
                      : (lead & 0xE0) == 0xC0 ? 1
                      : (lead & 0xF0) == 0xE0 ? 2
                      : (lead & 0xF8) == 0xF0 ? 3
                                              : -1;
    bool ok = extra >= 0 && text.size() - i > static_cast<size_t>(extra);
    uint32_t code = ok ? lead & kLeadMask[extra] : 0;
    for (int k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    wide.push_back(ok ? static_cast<wchar_t>(code) : L'\uFFFD');
    i += ok ? extra + 1 : 1;
  }
  return wide;
}

std::optional<struct stat> Stat(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

SYSTEMTIME ToSystemTime(time_t time) {
  tm utc{};
  gmtime_r(&time, &utc);
  SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(utc.tm_year + 1900);
  st.wMonth = static_cast<uint16_t>(utc.tm_mon + 1);
  st.wDayOfWeek = static_cast<uint16_t>(utc.tm_wday);
  st.wDay = static_cast<uint16_t>(utc.tm_mday);
  st.wHour = static_cast<uint16_t>(utc.tm_hour);
  st.wMinute = static_cast<uint16_t>(utc.tm_min);
  st.wSecond = static_cast<uint16_t>(utc.tm_sec);
  return st;
}

// The Last-Modified time of raw response headers, if they carry a readable one.
std::optional<time_t> LastModified(const std::wstring& headers) {
  static const std::wstring kName = L"\nlast-modified:";
  std::wstring lower(headers);
  for (wchar_t& c : lower) c = (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
  const size_t at = lower.find(kName);
  if (at == std::wstring::npos) return std::nullopt;
  size_t begin = at + kName.size();
  const size_t end = headers.find_first_of(L"\r\n", begin);
  std::string value;
  for (size_t i = begin; i < end && i < headers.size(); ++i) {
    if (headers[i] > 0x7F) return std::nullopt;
    value.push_back(static_cast<char>(headers[i]));
  }
  tm utc{};
  const char* rest = strptime(value.c_str(), " %a, %d %b %Y %H:%M:%S GMT", &utc);
  if (rest == nullptr) return std::nullopt;
  return timegm(&utc);
}

}  // namespace

CWordListUpdater::CWordListUpdater(std::string path, std::function<void()> changed)
    : path(std::move(path)), changed(std::move(changed)) {
  ZvHttp::Init();
  if (ZvHttp::CreateWorker(&worker) != 0) worker = 0;
}

CWordListUpdater::~CWordListUpdater() {
  if (task != 0) ZvHttp::StopTask(task);
  if (worker != 0) ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
}

void CWordListUpdater::Fetch(const std::string& url) {
  if (url.empty() || worker == 0) return;
  if (task != 0) ZvHttp::StopTask(task);
  task = 0;
  tagDefHttpPar request;
  request.url = Widen(url);
  const std::optional<struct stat> part = Stat(path + ".downloading");
  const std::optional<struct stat> file = Stat(path);
  SYSTEMTIME since{};
  SYSTEMTIME* ifModifiedSince = nullptr;
  unsigned long offset = 0;
  if (part && part->st_size > 0) {
    offset = static_cast<unsigned long>(part->st_size);  // resume what a cut fetch kept
  } else if (file) {
    since = ToSystemTime(file->st_mtime);
    ifModifiedSince = &since;
  }
  int id = 0;
  if (ZvHttp::DownloadInFileEx(&request, Widen(path), ifModifiedSince, offset, OnTaskEvent,
                               kFetchTimeoutMs, &id, reinterpret_cast<unsigned long>(this),
                               worker) == 0) {
    task = id;
  }
}

int ZV_STDCALL CWordListUpdater::OnTaskEvent(int taskId, unsigned long userParam,
                                             DOWNLOAD_ERRORCODE code, tagDataOut* out) {
  auto* self = reinterpret_cast<CWordListUpdater*>(userParam);
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT || taskId != self->task) return 0;
  self->task = 0;
  self->Finish(code, out);
  return 0;
}

void CWordListUpdater::Finish(DOWNLOAD_ERRORCODE code, const tagDataOut* out) {
  if (code != DOWNLOAD_OK) return;  // not modified, or failed: the file stays as it was
  if (out != nullptr) {
    if (const std::optional<time_t> time = LastModified(out->text)) {
      const timespec times[2] = {{*time, 0}, {*time, 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
  }
  changed();
}
