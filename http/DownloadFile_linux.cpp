#include "http/DownloadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win32/PostBatch.h"
#include "platform/win32/StringConv.h"
#include "platform/win32/UniqueFd.h"

namespace {

// Only a regular file of ours with no other name is our own partial download; anything else
// at the temporary name (a link to another file, a hard link, a fifo, a device), put there by
// whoever can write the folder, must never be written through.
// `*empty` tells whether it holds no bytes yet.
bool IsOwnPartialFile(int fd, bool* empty) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      info.st_uid != ::geteuid()) {
    return false;
  }
  *empty = info.st_size == 0;
  return true;
}

// The last part of `path`: the calls below take names relative to the folder's descriptor.
const char* LeafOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Opens the temporary file `name` in `folder` for appending, never through a link and never
// blocking on a fifo.
// What stands at the name and is not our own partial file is unlinked and a new file is made
// in its place: it cannot hold bytes of ours to resume from, and refusing would let whoever
// put it there stop every download to that path. A directory, or a name that another user's
// file holds in a sticky folder, cannot be replaced: -1 with errno then. `*empty` tells
// whether the file opened holds no bytes.
int OpenTemporaryFile(int folder, const char* name, bool* empty) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(::openat(folder, name, kFlags, 0666));
  *empty = false;
  if (!fd.IsValid() || !IsOwnPartialFile(fd.Get(), empty)) {
    // ELOOP: a symbolic link; ENXIO: a fifo without reader, or a socket.
    if (!fd.IsValid() && errno != ELOOP && errno != ENXIO) return -1;
    fd.Reset();
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT) return -1;
    // O_EXCL: whatever was put back at the name meanwhile fails the open instead.
    fd.Reset(::openat(folder, name, kFlags | O_EXCL, 0666));
    if (!fd.IsValid()) return -1;
    *empty = true;
  }
  // O_NONBLOCK stays: it changes nothing for a regular file, which is all this can be now.
  return fd.Release();
}

}  // namespace

const std::string& CDownloadFile::TemporaryName() {
  if (temporaryName.empty()) temporaryName = WideToUtf8(temporary);
  return temporaryName;
}

bool CDownloadFile::OpenFolder() {
  if (folder.IsValid()) return true;
  const std::string& path = TemporaryName();
  const std::string name(path.c_str(), LeafOf(path));  // with its last '/'
  folder.Reset(::open(name.empty() ? "." : name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return folder.IsValid();
}

CDownloadFile::OpenResult CDownloadFile::Open() {
  if (!PrepareToOpen()) return OpenResult::kNoStream;
  if (!OpenFolder()) return OpenResult::kNoFile;
  fd.Reset(OpenTemporaryFile(folder.Get(), LeafOf(TemporaryName()), &emptyOnDisk));
  return fd.IsValid() ? OpenResult::kOpened : OpenResult::kNoFile;
}

bool CDownloadFile::SeekForResume(uint64_t& offset) {
  if (!fd.IsValid()) return false;
  if (offset == 0) return true;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return false;
  // Writes append; the caller cuts the file to the offset it resumes from.
  if (static_cast<uint64_t>(info.st_size) < offset) offset = 0;
  return true;
}

bool CDownloadFile::Truncate(uint64_t length) {
  if (!fd.IsValid() || !Flush()) return false;
  // A new file has nothing to cut: most downloads start into one.
  if (length == 0 && emptyOnDisk) return true;
  if (::ftruncate(fd.Get(), static_cast<off_t>(length)) != 0) return false;
  emptyOnDisk = length == 0;
  return true;
}

void CDownloadFile::Remove() {
  if (OpenFolder()) ::unlinkat(folder.Get(), LeafOf(TemporaryName()), 0);
}

bool CDownloadFile::MoveIntoPlace(int* error) {
  if (!OpenFolder()) {
    *error = errno;
    return false;
  }
  const char* from = LeafOf(TemporaryName());
  // When an existing file is replaced, the bytes are on disk before the name points at them,
  // so a crash leaves the old file or the new one, never an empty one. A new name has no old
  // data to lose, and forcing a large body to disk would make the download wait for the disk
  // rather than the network, so it is left to normal writeback. Asking the rename itself
  // whether the name is taken saves a look-up per file, and leaves no gap between the look-up
  // and the rename. The temporary file is flushed without following a link that someone may
  // have put at its name meanwhile.
  // A file that replaces another takes over its permissions: made with 0666 & ~umask, it would
  // open a private file to everyone. Only a regular file lends its mode, never a link.
  bool flushed = false;
  auto prepareToReplace = [&](const char* to) {
    struct stat replaced {};
    // Nothing there (or gone meanwhile): nothing to replace.
    if (::fstatat(folder.Get(), to, &replaced, AT_SYMLINK_NOFOLLOW) != 0) return;
    const bool takesMode = S_ISREG(replaced.st_mode);
    if (flushed && !takesMode) return;
    UniqueFd written(::openat(folder.Get(), from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!written.IsValid()) return;
    // Set-id bits are not carried over to bytes from the network.
    if (takesMode) ::fchmod(written.Get(), replaced.st_mode & 0777);
    if (flushed) return;
    flushed = true;
    // The disk may take long: messages this thread queued already go first.
    if (CPostBatch* batch = CPostBatch::Current()) batch->WakeNow();
    ::fsync(written.Get());  // a failed flush only loses the crash guarantee
  };
  // rename replaces the destination atomically; it is never deleted first, so a rename that
  // fails leaves the old file as it was.
  // `destination` itself grows into each next name tried: it ends as the name the body went
  // to, or the last one tried (the data then stays in `temporary`).
  *error = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) destination += L"_(" + std::to_wstring(attempt - 1) + L")";
    const std::string path = WideToUtf8(destination);
    const char* to = LeafOf(path);
    if (::renameat2(folder.Get(), from, folder.Get(), to, RENAME_NOREPLACE) == 0) return true;
    // A file system without the flag answers EINVAL: then the name is looked up instead; it
    // counts as taken when anything stands there, a link too.
    if (errno == EEXIST || errno == EINVAL) prepareToReplace(to);
    if (::renameat(folder.Get(), from, folder.Get(), to) == 0) return true;
    if (attempt == 0) *error = errno;  // the destination's own failure says most
  }
  return false;
}
