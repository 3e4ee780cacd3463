// The local store: a compound file (the structured-storage format: 512-byte sectors, FAT,
// directory entries) holding named streams at its root, as ZELINFO.DAT does.
//
// Durability: stream writes are staged in memory. A commit (IStream::Commit, IStorage::Commit,
// or the release of a stream with uncommitted writes) writes the sectors that changed to room
// the committed file does not use, flushes them, then replaces the header and flushes it
// (compound_file_update.h); where that cannot be done (a new store, a file over about 7 MB, a
// commit whose write failed) it writes a complete new image to a temporary file, flushes it and
// renames it over the store. Either way, after a commit returns the data survives a crash, and a
// crash at any moment leaves the store as before or as after the commit, never torn; and an
// append to a long stream costs a few sectors, not the whole file. A CommitGroup defers the commits
// made inside it to one atomic commit at its end, so writes to several streams land together.
//
// Sharing: the store is opened read-write with exclusive sharing; a second opener (this process
// or another) gets STG_E_SHAREVIOLATION (0x80030020).
//
// Thread contract: the storage object serialises its own operations with an internal mutex, so
// streams of one store may be used from different threads; one stream object by one thread at a
// time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"
#include "platform/unknown.h"

namespace zel {

struct IStorage : IUnknown {
  static constexpr IID kIid = MakeGuid(0x0000000B, 0x0000, 0x0000, 0xC000000000000046);
  // Creates the stream, or truncates an existing one to 0 bytes. Names are at most 31 characters
  // (STG_E_INVALIDNAME beyond).
  virtual HRESULT CreateStream(std::string_view name, IStream** stream) = 0;
  // Opens an existing stream; STG_E_FILENOTFOUND when there is none.
  virtual HRESULT OpenStream(std::string_view name, IStream** stream) = 0;
  // Removes a stream; STG_E_FILENOTFOUND when there is none. Takes effect at the next commit.
  virtual HRESULT DestroyElement(std::string_view name) = 0;
  virtual HRESULT EnumStreams(std::vector<std::string>* names) = 0;
  // Commits every staged change (see above).
  virtual HRESULT Commit() = 0;
  // Grouping: commits between BeginCommitGroup and EndCommitGroup are deferred; the outermost
  // EndCommitGroup commits once. Groups nest.
  virtual void BeginCommitGroup() = 0;
  virtual HRESULT EndCommitGroup() = 0;
};

enum class StorageOpenMode {
  kOpenExisting,  // STG_E_FILENOTFOUND when the file does not exist
  kCreate,        // creates a new empty store, replacing any file at the path
  kOpenOrCreate,
};

// Opens the compound file at path. Errors: STG_E_FILENOTFOUND, STG_E_SHAREVIOLATION,
// STG_E_INVALIDHEADER / STG_E_DOCFILECORRUPT for a file that is not a readable compound file
// (the file is left untouched), STG_E_ACCESSDENIED, other system errors as 0x8007xxxx.
HRESULT OpenCompoundFile(const std::string& path, StorageOpenMode mode, IStorage** storage);

// Renames a store that cannot be read (OpenCompoundFile gave STG_E_INVALIDHEADER or
// STG_E_DOCFILECORRUPT) to "<path>.corrupt-YYYYMMDD-HHMMSS" (local time from the clock seam;
// "-2", "-3"... appended when that name is taken), so a new store can be created without losing
// the old bytes. *moved_to (may be null) receives the new name. Takes the store's lock for the
// rename: STG_E_SHAREVIOLATION while the store is open; STG_E_FILENOTFOUND when there is no file.
HRESULT SetAsideCorruptStore(const std::string& path, std::string* moved_to);

// Bytes written to stores by commits in this process, headers included (benchmarks, tests).
uint64_t StoreCommitBytesWritten();

// RAII form of BeginCommitGroup/EndCommitGroup. The result of the final commit is in result().
class CommitGroup {
 public:
  explicit CommitGroup(IStorage* storage) : storage_(storage) { storage_->BeginCommitGroup(); }
  ~CommitGroup() {
    if (!ended_) (void)storage_->EndCommitGroup();
  }
  // Ends the group now and returns the commit's result.
  HRESULT End() {
    ended_ = true;
    return storage_->EndCommitGroup();
  }
  CommitGroup(const CommitGroup&) = delete;
  CommitGroup& operator=(const CommitGroup&) = delete;

 private:
  IStorage* storage_;
  bool ended_ = false;
};

}  // namespace zel
