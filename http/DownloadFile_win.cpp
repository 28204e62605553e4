// Windows: CDownloadFile on the NT file calls, which take a name relative to a folder's handle
// where the Win32 ones take a whole path. The temporary file is opened without following a
// reparse point (a symbolic link or junction someone planted at its name), checked to be a
// plain disk file of this user's with one name, and handed to a C runtime descriptor in append
// mode, which the shared write buffer (DownloadFileWrite.cpp) writes to; offsets are 64-bit
// (_filelengthi64, _chsize_s). The destination is replaced only by rename. Failures leave
// errno set, mapped from the system's error.
#include "http/DownloadFile.h"

#include "zvnet/zvdefs.h"  // windows.h

// After windows.h.
#include <aclapi.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

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

// What `token` says of `kind`; empty when it cannot be read.
std::vector<unsigned char> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<unsigned char> info(size);
  if (size == 0 || !::GetTokenInformation(token, kind, info.data(), size, &size)) info.clear();
  return info;
}

// Whether `file` belongs to this process's user, or to the owner the process gives what it
// creates (an elevated administrator's files may belong to the Administrators group).
bool IsOwnedByThisUser(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, decltype(&::LocalFree)> freeDescriptor(descriptor, &::LocalFree);
  HANDLE token = nullptr;
  if (!owner || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const UniqueHandle closeToken(token);
  const std::vector<unsigned char> user = TokenInformation(token, TokenUser);
  const std::vector<unsigned char> creator = TokenInformation(token, TokenOwner);
  return (!user.empty() &&
          ::EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) ||
         (!creator.empty() &&
          ::EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(creator.data())->Owner));
}

// Only a plain disk file of ours with no other name is our own partial download; a reparse
// point, a hard link to another file, a directory, a device, or a file of another user (who
// could have written bytes of theirs into it, to be kept by a resume), put there by whoever
// can write the folder, must never be written through.
bool IsOwnPartialFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         info.nNumberOfLinks == 1 && IsOwnedByThisUser(file);
}

// The last part of `path`: the calls below take names relative to the folder's handle.
std::wstring_view LeafOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/:");
  return std::wstring_view(path).substr(separator == std::wstring::npos ? 0 : separator + 1);
}

// Opens the file `leaf` in `folder` with FILE_SHARE_READ, never through a reparse point;
// null with errno when that fails.
HANDLE OpenIn(HANDLE folder, std::wstring_view leaf, ACCESS_MASK access, ULONG disposition) {
  if (leaf.size() > 32767) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(leaf.data());
  name.Length = name.MaximumLength = static_cast<USHORT>(leaf.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = nullptr;
  const NTSTATUS status = ::NtCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      FILE_SHARE_READ, disposition,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  if (NT_SUCCESS(status)) return file;
  errno = ErrnoOf(::RtlNtStatusToDosError(status));
  return nullptr;
}

// Deletes the name `file` was opened by: a link itself, never its target.
bool DeleteByHandle(HANDLE file) {
  FILE_DISPOSITION_INFO info{TRUE};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info);
}

// Renames `file` to `leaf` in `folder`; 0, or the system's error.
DWORD RenameIn(HANDLE file, HANDLE folder, std::wstring_view leaf, bool replace) {
  const size_t bytes = leaf.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = folder;
  info->FileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(info->FileName, leaf.data(), bytes);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = ::NtSetInformationFile(file, &io, info, static_cast<ULONG>(buffer.size()),
                                                 FileRenameInformation);
  return NT_SUCCESS(status) ? 0 : ::RtlNtStatusToDosError(status);
}

// Opens the temporary file `leaf` in `folder`. What stands at the name and is not our own
// partial file is deleted (a link itself, not its target) and a new file is made in its
// place: it cannot hold bytes of ours to resume from, and refusing would let whoever put it
// there stop every download to that path. A directory cannot be replaced: an invalid handle
// with errno then.
UniqueHandle OpenTemporaryFile(HANDLE folder, std::wstring_view leaf) {
  UniqueHandle file(OpenIn(folder, leaf, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_OPEN_IF));
  if (!file.IsValid() || IsOwnPartialFile(file.Get())) return file;
  if (!DeleteByHandle(file.Get())) {
    SetErrnoFromSystem();
    return UniqueHandle();
  }
  file.Reset();
  // FILE_CREATE: whatever was put back at the name meanwhile fails the open instead.
  return UniqueHandle(OpenIn(folder, leaf, GENERIC_READ | GENERIC_WRITE, FILE_CREATE));
}

}  // namespace

bool CDownloadFile::OpenFolder() {
  if (folder.IsValid()) return true;
  std::wstring name(temporary, 0, temporary.size() - LeafOf(temporary).size());
  if (name.empty() || name.back() == L':') name += L'.';  // the current folder (of that drive)
  // Without FILE_SHARE_DELETE: the folder cannot be moved or deleted meanwhile.
  HANDLE handle =
      ::CreateFileW(name.c_str(), FILE_TRAVERSE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFromSystem();
    return false;
  }
  folder.Reset(handle);
  return true;
}

CDownloadFile::OpenResult CDownloadFile::Open() {
  if (!PrepareToOpen()) return OpenResult::kNoStream;
  if (!OpenFolder()) return OpenResult::kNoFile;
  UniqueHandle handle(OpenTemporaryFile(folder.Get(), LeafOf(temporary)));
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
  if (!OpenFolder()) return;
  UniqueHandle file(OpenIn(folder.Get(), LeafOf(temporary), DELETE, FILE_OPEN));
  if (file.IsValid()) DeleteByHandle(file.Get());
}

bool CDownloadFile::MoveIntoPlace(int* error) {
  *error = 0;
  UniqueHandle file;
  if (OpenFolder()) {
    file.Reset(OpenIn(folder.Get(), LeafOf(temporary), DELETE | GENERIC_WRITE, FILE_OPEN));
  }
  if (!file.IsValid()) {
    *error = errno;
    return false;
  }
  // When an existing file is replaced, the bytes are on disk before the name points at them,
  // so a crash leaves the old file or the new one, never an empty one. A new name has no old
  // data to lose, and forcing a large body to disk would make the download wait for the disk
  // rather than the network, so it is left to normal writeback. Asking the rename itself
  // whether the name is taken leaves no gap between a look-up and the rename. A replacing
  // rename replaces the name: a link planted at the destination is replaced, never written
  // through, and the old file stays as it was when the rename fails.
  // `destination` itself grows into each next name tried: it ends as the name the body went
  // to, or the last one tried (the data then stays in `temporary`).
  bool flushed = false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) destination += L"_(" + std::to_wstring(attempt - 1) + L")";
    const std::wstring_view to = LeafOf(destination);
    DWORD failure = RenameIn(file.Get(), folder.Get(), to, false);
    if (failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS) {
      if (!flushed) {
        flushed = true;
        ::FlushFileBuffers(file.Get());  // a failed flush only loses the crash guarantee
      }
      failure = RenameIn(file.Get(), folder.Get(), to, true);
    }
    if (failure == 0) return true;
    if (attempt == 0) *error = ErrnoOf(failure);  // the destination's own failure says most
  }
  return false;
}
