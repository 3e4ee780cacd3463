// The byte layout of the stored event log, the "Events" stream (little-endian):
//
//   offset 0: entry count N (4 bytes, unsigned)
//   then N entries, back to back, oldest first:
//     type (4 bytes)  the event type code
//     time            a serialised variant: 2-byte variant type, then
//                       7 (date):   8-byte IEEE double, days since 30 December 1899
//                       8 (string): 4-byte byte count L (UTF-16 text + 2-byte zero; 0 for a
//                                   null string), then L bytes
//     data (4 bytes)  the entry's Data
//   bytes after the N-th entry (left from before a ClearLog) are not part of the log.
//
// "EventsState" holds exactly the 16 bytes of the last-seen record. See docs/storage_format.md.
//
// Thread contract: stateless functions over caller-owned buffers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "events/event_record.h"
#include "platform/status.h"

namespace zel {

inline constexpr std::string_view kEventsStreamName = "Events";
inline constexpr std::string_view kEventsStateStreamName = "EventsState";
inline constexpr uint32_t kEventsCountSize = 4;

// Appends one entry's bytes. A time variant other than a date or a string: DISP_E_BADVARTYPE
// (nothing appended).
HRESULT EncodeStoredEntry(const EntryValues& entry, std::vector<uint8_t>* out);

// What reading a stored log found.
enum class StoredLogFault {
  kNone,
  kCountMissing,  // fewer than 4 bytes: no count at all
  kCut,           // the count promises more than the bytes hold (an entry runs past the end)
  kBadTime,       // a time variant of another type, or a string of odd length
};

struct DecodedLog {
  std::vector<EntryValues> entries;  // the entries read, in stored order
  uint32_t declared = 0;             // the count as stored
  uint64_t end = kEventsCountSize;   // offset just past the last entry read
  StoredLogFault fault = StoredLogFault::kNone;
};

// Reads the whole stream's bytes. Stops at the first fault; the entries before it are kept.
DecodedLog DecodeStoredLog(std::span<const uint8_t> bytes);

}  // namespace zel
