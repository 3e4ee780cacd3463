// The file-system steps every stored file of an instance goes through: reading a whole file,
// replacing a file atomically and durably, setting a damaged file aside, and creating
// directories. The settings registry, the compound-file store, the resource catalogue and the
// instance directory all use these, so the durability rules and the fault-injection hook live
// in one place.
//
// Atomic replace: the new bytes go to "<path>.tmp" in the same directory (a stale one is removed
// first, so the file is created afresh with the mode asked for), are flushed with fsync and
// renamed over "<path>"; then the directory is flushed so the rename itself is on disk. rename()
// swaps the name in one step, so a reader (or a restart after a crash) sees the whole old file or
// the whole new one. REQUIRES: the caller holds whatever lock keeps a second writer of the same
// path away, since both would use the same temporary file.
//
// Status codes: each function takes the errno-to-status mapping of the caller's family (the
// store answers STG_E_* codes, the registry and the catalogue 0x8007xxxx).
//
// Thread contract: the functions are stateless and safe from any thread. The fault hook is for
// tests and is set while no replacement runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zel {

// Turns an errno into the caller's status code.
using ErrnoToStatus = HRESULT (*)(int err);

// Reads a whole regular file. Missing: ENOENT; not a regular file (a directory, a FIFO): EISDIR,
// without blocking; more than max_bytes: EFBIG. Each goes through to_status.
HRESULT ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes,
                      size_t max_bytes = std::numeric_limits<size_t>::max(),
                      ErrnoToStatus to_status = HresultFromErrno);
HRESULT ReadWholeFile(const std::string& path, std::string* text,
                      size_t max_bytes = std::numeric_limits<size_t>::max(),
                      ErrnoToStatus to_status = HresultFromErrno);

// Replaces path with bytes as described above; a new file gets `mode` less the umask. On failure
// the temporary file is removed and path is untouched, unless the failure is the final directory
// flush, after which path already holds the new bytes.
HRESULT ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes, mode_t mode,
                              ErrnoToStatus to_status = HresultFromErrno);
HRESULT ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode,
                              ErrnoToStatus to_status = HresultFromErrno);

// Removes a "<path>.tmp" left behind by a replacement that was cut short.
void RemoveStaleTemporary(const std::string& path);

// Renames path to "<path>.corrupt-YYYYMMDD-HHMMSS" (local time from the clock), adding "-2",
// "-3", ... so an older copy is never overwritten, and flushes the directory. *moved_to gets the
// new name. REQUIRES: the caller holds the file's lock.
HRESULT MoveFileAside(const std::string& path, std::string* moved_to,
                      ErrnoToStatus to_status = HresultFromErrno);

// Creates dir and each missing parent with `mode` (less the umask). ENOTDIR when a component
// exists but is not a directory.
HRESULT MakeDirectories(const std::string& dir, mode_t mode,
                        ErrnoToStatus to_status = HresultFromErrno);

// "/a/b/c" -> "/a/b"; "c" -> "."; "/c" -> "/".
std::string ParentDirectory(const std::string& path);

// Test hook: makes one step of the following replacements fail with errno `err` (0 clears it).
enum class ReplaceStep { kNone, kCreateTemp, kWrite, kSyncFile, kRename, kSyncDir };
void SetReplaceFaultForTesting(ReplaceStep step, int err);

}  // namespace zel
