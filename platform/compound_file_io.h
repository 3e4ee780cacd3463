// File-system side of the local store: its status codes for system errors and the sidecar lock
// that gives one opener exclusive use. Reading, atomic replacement and setting aside go through
// platform/file_system.h with StorageStatusFromErrno. (SetAsideCorruptStore, declared in
// storage.h, is built on these.)
//
// Lock: an flock() on "<path>.lock", a file that is never renamed or removed, so the lock holds
// across the renames of the store. flock locks belong to an open file description, so a second
// opener in the same process is refused exactly as one in another process.
//
// Thread contract: the functions are stateless. A StoreLock is owned by one storage object.
#pragma once

#include <functional>
#include <string>

#include "platform/compound_file_update.h"
#include "platform/status.h"

namespace zel {

// Storage status for an errno: ENOENT -> STG_E_FILENOTFOUND, ENOTDIR -> STG_E_PATHNOTFOUND,
// EACCES/EPERM/EROFS -> STG_E_ACCESSDENIED, ENOSPC/EDQUOT/EFBIG -> STG_E_MEDIUMFULL, ENOMEM ->
// STG_E_INSUFFICIENTMEMORY, EISDIR (not a regular file) -> STG_E_ACCESSDENIED, EEXIST ->
// STG_E_FILEALREADYEXISTS, anything else as 0x8007xxxx.
HRESULT StorageStatusFromErrno(int err);

// Writes an in-place commit (compound_file_update.h) to the store at path: the plan's sectors,
// a flush, the header, a flush. On failure the caller cannot know whether the header was
// written, and must not plan from the committed image again (it rewrites the whole file).
HRESULT WriteCommitInPlace(const std::string& path, const CommitPlan& plan);

// Test hook: called before each step of WriteCommitInPlace (kWriteSectors once per run of
// consecutive sectors). A non-zero errno it returns makes that step fail with it; a test may
// also copy the file there, to see what a crash at that point would leave. Null clears it.
enum class CommitStep { kWriteSectors, kSyncSectors, kWriteHeader, kSyncHeader };
void SetCommitStepHookForTesting(std::function<int(CommitStep)> hook);

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

}  // namespace zel
