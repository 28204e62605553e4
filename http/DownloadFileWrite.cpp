// The part of CDownloadFile that both platforms share: the write buffer over the file's
// descriptor (a C runtime descriptor on Windows).
#include "http/DownloadFile.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace {

// Chunks are small next to what a file write costs: batching them saves most system calls.
// The buffer starts small, so that the many small bodies cost no mapping of memory, and grows
// once a body has filled it.
constexpr size_t kFirstBufferSize = 64 * 1024;
constexpr size_t kBufferSize = 1 << 20;

// The first buffer of the last file closed on this thread, for the thread's next file: a
// worker saving many small bodies then allocates and frees none of them per file (a block
// that large is costly to free). Its bytes are stale; a file writes only what it put there.
thread_local std::unique_ptr<unsigned char[]> spareFirstBuffer;

// All of `data`, in as many writes as it takes; false with errno set.
bool WriteAll(int fd, const void* data, size_t count) {
  const char* next = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t written = ::write(fd, next, count);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      if (written == 0) errno = EIO;
      return false;
    }
    next += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

// `destination` with the temporary suffix, made in one allocation.
std::wstring TemporaryFor(const std::wstring& destination) {
  constexpr std::wstring_view kSuffix = L".downloading";
  std::wstring name;
  name.reserve(destination.size() + kSuffix.size());
  name.append(destination).append(kSuffix);
  return name;
}

}  // namespace

CDownloadFile::CDownloadFile(std::wstring destination)
    : destination(std::move(destination)), temporary(TemporaryFor(this->destination)) {}

CDownloadFile::~CDownloadFile() {
  Close();
  if (buffer && capacity == kFirstBufferSize && !spareFirstBuffer) {
    spareFirstBuffer = std::move(buffer);
  }
}

bool CDownloadFile::PrepareToOpen() {
  Close();
  writeError = 0;
  if (!buffer) {
    buffer = std::move(spareFirstBuffer);
    if (!buffer) buffer.reset(new (std::nothrow) unsigned char[kFirstBufferSize]);
    capacity = kFirstBufferSize;
  }
  return buffer != nullptr;
}

bool CDownloadFile::Write(const void* data, size_t count) {
  if (!fd.IsValid() || HasFailed()) return false;
  if (used + count > capacity && !FlushFull()) return false;
  if (count >= capacity) {
    emptyOnDisk = false;
    if (WriteAll(fd.Get(), data, count)) return true;
    writeError = errno;
    return false;
  }
  std::memcpy(buffer.get() + used, data, count);
  used += count;
  return true;
}

unsigned char* CDownloadFile::Tail(size_t count) {
  if (!fd.IsValid() || HasFailed() || count > capacity) return nullptr;
  if (used + count > capacity && !FlushFull()) return nullptr;
  return buffer.get() + used;
}

bool CDownloadFile::Flush() {
  if (HasFailed()) return false;
  if (!fd.IsValid() || used == 0) return true;
  const size_t count = used;
  used = 0;
  emptyOnDisk = false;
  if (WriteAll(fd.Get(), buffer.get(), count)) return true;
  // The buffer is lost: nothing written after it may count, until the file is opened again.
  writeError = errno;
  return false;
}

bool CDownloadFile::FlushFull() {
  if (!Flush()) return false;
  if (capacity >= kBufferSize) return true;
  // A body that fills the small buffer is a large one. Without the room the small buffer goes
  // on serving.
  std::unique_ptr<unsigned char[]> larger(new (std::nothrow) unsigned char[kBufferSize]);
  if (!larger) return true;
  buffer = std::move(larger);
  capacity = kBufferSize;
  return true;
}

bool CDownloadFile::HasFailed() const {
  if (writeError == 0) return false;
  errno = writeError;
  return true;
}

void CDownloadFile::Close() {
  Flush();
  fd.Reset();
}
