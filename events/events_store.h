// EventsStore: the event log's two streams in the local store, "Events" (every entry taken in)
// and "EventsState" (the last-seen record), in the layout of events_format.h.
//
// One walk of the controller's log lands in one commit: the walk's new entries, the new count
// and the new last-seen record are staged together and committed atomically (a CommitGroup of
// the store), so after a crash at any moment the store holds the state before the walk or the
// state after it: never entries without their last-seen record (they would be read again and
// stored twice) nor a last-seen record without its entries (they would be lost).
//
// The count in front of the entries is the number of entries this store has written, kept here,
// not the number of entries the collection holds, so count and entries stay in step whatever
// happens to an entry after it was stored.
//
// Thread contract: free-threaded; mu_ guards every field. The store's own operations are
// serialised by the storage object.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "events/events_format.h"
#include "platform/storage.h"
#include "platform/sync.h"

namespace zel {

// System-log messages of the stored history (the catalogue's message table has their texts).
// Warning: an entry could not be read; the entries before it were kept, the stream set aside.
inline constexpr uint32_t MSG_EVENTS_SET_ASIDE = 0x80020070;
// Error: the history is cut short; the event log is unavailable until it is repaired.
inline constexpr uint32_t MSG_EVENTS_UNREADABLE = 0xC0020071;

// The stream the whole "Events" stream is copied to when a stored entry cannot be read.
inline constexpr std::string_view kEventsSetAsideStreamName = "Events.SetAside";

class EventsStore {
 public:
  EventsStore() = default;
  EventsStore(const EventsStore&) = delete;
  EventsStore& operator=(const EventsStore&) = delete;

  // Opens "Events" (creating it with a zero count when it does not exist), reads every entry
  // into *entries and keeps the stream open. Failures:
  //   - the stream cannot be opened (other than not found): that status;
  //   - an entry is cut short (the count promises more than the bytes hold): E_UNEXPECTED, and
  //     the error goes to the system log (the caller's collection cannot be created);
  //   - fewer than 4 bytes: an empty log, success, and a zero count is written in front;
  //   - an entry whose time is neither a date nor a string of even length: the entries before
  //     it are kept (success), the whole stream is copied to "Events.SetAside", the count is set
  //     to the entries kept, and a warning goes to the system log.
  HRESULT Load(IStorage* storage, std::vector<EntryValues>* entries);

  // Reads up to 16 bytes of "EventsState" into *record (bytes not there keep their value); a
  // missing stream is created empty.
  HRESULT LoadLastSeen(LastSeenRecord* record);

  // Appends `entries` after the stored ones, writes the new count and, when `last_seen` is
  // given, the last-seen record, all in one commit. An entry whose time cannot be stored is
  // refused before anything is written (DISP_E_BADVARTYPE). When the commit fails the staged
  // changes stay staged (the next commit writes them) and the failure is returned.
  HRESULT CommitWalk(std::span<const EntryValues> entries, const LastSeenRecord* last_seen);

  // ClearLog: a zero count, committed; the next entry is written at offset 4. The stream is not
  // shortened. E_UNEXPECTED when the log was never loaded.
  HRESULT Reset();

  bool is_open() const;
  uint32_t count() const;
  // Offset just past the last stored entry.
  uint64_t end() const;

 private:
  HRESULT WriteCount(uint32_t count) ZEL_REQUIRES(mu_);
  HRESULT SetAside(std::span<const uint8_t> bytes) ZEL_REQUIRES(mu_);

  mutable Mutex mu_;
  ComPtr<IStorage> storage_ ZEL_GUARDED_BY(mu_);
  ComPtr<IStream> events_ ZEL_GUARDED_BY(mu_);
  uint32_t count_ ZEL_GUARDED_BY(mu_) = 0;
  uint64_t end_ ZEL_GUARDED_BY(mu_) = kEventsCountSize;
};

}  // namespace zel
