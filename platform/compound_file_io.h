// File-system side of the local store: reading a store file, replacing it atomically and
// durably, and the sidecar lock that gives one opener exclusive use. (SetAsideCorruptStore,
// declared in storage.h, is built on these.)
//
// Atomic replace: the new image goes to "<path>.tmp" in the same directory, is flushed with
// fsync, renamed over "<path>", and the directory is flushed so the rename itself is on disk.
// rename() swaps the name in one step, so a reader (or a restart after a crash) sees the whole
// old file or the whole new one.
//
// Lock: an flock() on "<path>.lock", a file that is never renamed or removed, so the lock holds
// across the renames of the store. flock locks belong to an open file description, so a second
// opener in the same process is refused exactly as one in another process.
//
// Thread contract: the functions are stateless. A StoreLock is owned by one storage object. The
// commit fault hook is for tests and is set while no commit runs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/status.h"

namespace zel {

// Storage status for an errno: ENOENT -> STG_E_FILENOTFOUND, ENOTDIR -> STG_E_PATHNOTFOUND,
// EACCES/EPERM/EROFS -> STG_E_ACCESSDENIED, ENOSPC/EDQUOT/EFBIG -> STG_E_MEDIUMFULL, ENOMEM ->
// STG_E_INSUFFICIENTMEMORY, anything else as 0x8007xxxx.
HRESULT StorageStatusFromErrno(int err);

// Reads a whole file. STG_E_FILENOTFOUND when it does not exist.
HRESULT ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

// Writes bytes to "<path>.tmp", flushes, renames over path and flushes the directory. On failure
// the temporary file is removed and path is untouched (unless the failure is the final directory
// flush, after which path already holds the new bytes).
HRESULT ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

// Removes a "<path>.tmp" left behind by a commit that was cut short. REQUIRES: the store's lock
// is held, so no commit of ours is writing it.
void RemoveStaleTemporary(const std::string& path);

// The exclusive-use lock of a store.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock() { Release(); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock on "<store_path>.lock" without waiting: STG_E_SHAREVIOLATION when another
  // opener holds it, STG_E_PATHNOTFOUND when the directory does not exist.
  HRESULT Acquire(const std::string& store_path);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Test hook: makes one step of the next commits fail with errno `err` (0 clears it).
enum class CommitStep { kNone, kCreateTemp, kWrite, kSyncFile, kRename, kSyncDir };
void SetCommitFaultForTesting(CommitStep step, int err);

}  // namespace zel
