// Windows: CDownloadFile on CreateFileW. The temporary file is opened without following a
// reparse point (a symbolic link or junction someone planted at its name), checked to be a
// plain disk file with one name, and handed to a C runtime descriptor in append mode, which
// the shared write buffer (DownloadFileWrite.cpp) writes to; offsets are 64-bit
// (_filelengthi64, _chsize_s). The destination is replaced only by MoveFileExW. Failures leave
// errno set, mapped from the system's error.
#include "http/DownloadFile.h"

#include "zvnet/zvdefs.h"  // windows.h

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <utility>

#include "platform/windows/UniqueHandle.h"

namespace {

// errno for a failed file call, so that callers read one kind of number on every platform.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

void SetErrnoFromSystem() {
  errno = ErrnoOf(::GetLastError());
}

// Only a plain disk file with no other name is our own partial download; a reparse point, a
// hard link to another file, a directory or a device put there by whoever can write the
// folder must never be written through.
bool IsOwnPartialFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         info.nNumberOfLinks == 1;
}

// Null when the open fails.
HANDLE OpenFile(const std::wstring& path, DWORD disposition) {
  HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

// Opens the temporary file, never through a reparse point. What stands at the name and is
// not our own partial file is deleted (a link itself, not its target) and a new file is made
// in its place: it cannot hold bytes of ours to resume from, and refusing would let whoever
// put it there stop every download to that path. A directory cannot be replaced: an invalid
// handle with errno then.
UniqueHandle OpenTemporaryFile(const std::wstring& path) {
  UniqueHandle file(OpenFile(path, OPEN_ALWAYS));
  if (file.IsValid() && IsOwnPartialFile(file.Get())) return file;
  if (!file.IsValid()) {
    SetErrnoFromSystem();
    return file;
  }
  file.Reset();
  if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    SetErrnoFromSystem();
    return file;
  }
  // CREATE_NEW: whatever was put back at the name meanwhile fails the open instead.
  file.Reset(OpenFile(path, CREATE_NEW));
  if (!file.IsValid()) SetErrnoFromSystem();
  return file;
}

}  // namespace

CDownloadFile::OpenResult CDownloadFile::Open() {
  if (!PrepareToOpen()) return OpenResult::kNoStream;
  UniqueHandle handle(OpenTemporaryFile(temporary));
  if (!handle.IsValid()) return OpenResult::kNoFile;
  const int crt =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()), _O_APPEND | _O_BINARY);
  if (crt < 0) return OpenResult::kNoFile;
  handle.Release();  // the descriptor owns it now
  fd.Reset(crt);
  return OpenResult::kOpened;
}

bool CDownloadFile::SeekForResume(uint64_t& offset) {
  if (!fd.IsValid()) return false;
  if (offset == 0) return true;
  const int64_t size = ::_filelengthi64(fd.Get());
  if (size < 0) return false;
  // Writes append; the caller cuts the file to the offset it resumes from.
  if (static_cast<uint64_t>(size) < offset) offset = 0;
  return true;
}

bool CDownloadFile::Truncate(uint64_t length) {
  return fd.IsValid() && Flush() && ::_chsize_s(fd.Get(), static_cast<int64_t>(length)) == 0;
}

void CDownloadFile::Remove() {
  ::DeleteFileW(temporary.c_str());  // a link at the name is deleted itself, not its target
}

bool CDownloadFile::MoveIntoPlace(int* error) {
  // When an existing file is replaced, the bytes are on disk before the name points at them
  // (MOVEFILE_WRITE_THROUGH), so a crash leaves the old file or the new one, never an empty
  // one. A new name has no old data to lose, and forcing a large body to disk would make the
  // download wait for the disk rather than the network, so it is left to normal writeback.
  // Asking the move itself whether the name is taken leaves no gap between a look-up and the
  // move. MoveFileExW replaces the name: a link planted at the destination is replaced, never
  // written through, and the old file stays as it was when the move fails.
  std::wstring target = destination;
  *error = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) target += L"_(" + std::to_wstring(attempt - 1) + L")";
    if (::MoveFileExW(temporary.c_str(), target.c_str(), 0)) {
      destination = target;
      return true;
    }
    DWORD failure = ::GetLastError();
    if (failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS) {
      if (::MoveFileExW(temporary.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        destination = target;
        return true;
      }
      failure = ::GetLastError();
    }
    if (attempt == 0) *error = ErrnoOf(failure);  // the destination's own failure says most
  }
  destination = target;  // the last target tried; the data stays in `temporary`
  return false;
}
