// The file a download into a file writes: the destination's name with ".downloading"
// appended, appended to across attempts and requests (resume), and renamed onto the
// destination once the body is complete.
//
// The folder may be writable by others, so the temporary file is opened without following a
// link, never through something that is not our own partial download, and the destination
// is replaced only by rename. Both names are taken in the folder as it was found by the first
// Open, so a path above it that is swapped for a link meanwhile cannot redirect either; each
// call then also looks up one name instead of the whole path. On Windows the folder is held
// open without delete sharing, so that it cannot be moved or deleted meanwhile either. Writes are
// buffered; Flush must succeed before the body counts as complete. The buffer can also be filled in
// place (Tail, Commit), so that a body read straight into it is not copied again on its way to the
// file.
//
// Threads: the task's driving thread only. Owns its descriptor; failures leave errno set.
#ifndef ZVNET_HTTP_DOWNLOADFILE_H_
#define ZVNET_HTTP_DOWNLOADFILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win32/UniqueFd.h"
#include "platform/win32/UniqueFile.h"

class CDownloadFile {
 public:
  enum class OpenResult {
    kOpened,
    kNoFile,    // nothing could be opened at the temporary name (errno says why)
    kNoStream,  // no room for the write buffer
  };

  explicit CDownloadFile(std::wstring destination);
  ~CDownloadFile();
  CDownloadFile(const CDownloadFile&) = delete;
  CDownloadFile& operator=(const CDownloadFile&) = delete;

  // Where the body goes; after MoveIntoPlace, the name it went to (or was last tried).
  const std::wstring& Destination() const { return destination; }
  bool IsOpen() const { return fd.IsValid(); }

  // Opens the temporary file for appending; an open one is closed first.
  OpenResult Open();
  // Places the stream at `offset` to resume from there; a file shorter than that cannot hold
  // what the offset claims, so `offset` becomes 0 and writing starts at the beginning.
  bool SeekForResume(uint64_t& offset);
  bool Write(const void* data, size_t count);
  // Room for `count` bytes at the end of the buffer, flushing it first when it is too full;
  // null when nothing is open, the room cannot be made or `count` is larger than the buffer
  // (64 KiB at first, 1 MiB once a body has filled that).
  unsigned char* Tail(size_t count);
  // Keeps `count` bytes written into the room Tail gave.
  void Commit(size_t count) { used += count; }
  // Hands the buffered bytes to the file; true when nothing is open.
  bool Flush();
  // Flushes, then cuts the file to `length` bytes.
  bool Truncate(uint64_t length);
  // Flushes (without checking) and closes.
  void Close();
  // Deletes the temporary file (a failed download that cannot be resumed).
  void Remove();
  // Renames the temporary file onto the destination or, when that fails, onto the first name
  // that takes it of the destination with "_(0)", then also "_(1)", then also "_(2)"
  // appended. False with `*error` (the destination's own errno) when none did; the data then
  // stays in the temporary file.
  bool MoveIntoPlace(int* error);

 private:
  // Closes what is open and makes the write buffer; false without room for it.
  bool PrepareToOpen();
  // Opens the destination's folder once; false with errno when it cannot be reached.
  bool OpenFolder();
  // True, with errno set again, once a write has failed.
  bool HasFailed() const;
  const std::string& TemporaryName();

  std::wstring destination;
  const std::wstring temporary;
  // `temporary` as the file system takes it (UTF-8), made by the first use; unused on Windows.
  std::string temporaryName;
  UniqueFd fd;
  UniqueFile folder;  // the destination's folder, by OpenFolder
  // Flushes a buffer that has no room left, then makes it the larger size.
  bool FlushFull();

  std::unique_ptr<unsigned char[]> buffer;  // made by the first Open
  size_t capacity = 0;
  size_t used = 0;
  int writeError = 0;        // errno of a failed write; every later write fails with it
  bool emptyOnDisk = false;  // the open file is known to hold no bytes (unknown: false)
};

#endif  // ZVNET_HTTP_DOWNLOADFILE_H_
