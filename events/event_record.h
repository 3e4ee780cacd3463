// The raw records of the controller's event log and what the server reads from them.
//
// Each reply of the log walk is one record: a controller frame whose bytes are read at fixed
// offsets from the start byte 0x5A:
//
//   0 start byte   1 length   2 message type   3 not used
//   4 time flag (0: no time; else bytes 5-8 hold it)   5 month   6 day   7 hour   8 minute
//   9 event type code   10 first parameter   11 not used   12 second parameter   13 third
//
// The newest record taken in is remembered as its first 16 bytes (the last-seen record). Two
// records are the same entry when bytes 4 to 10 and 12 are equal.
//
// Thread contract: stateless functions over caller-owned bytes.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>

#include "platform/variant.h"

namespace zel {

inline constexpr size_t kLastSeenSize = 16;
using LastSeenRecord = std::array<uint8_t, kLastSeenSize>;

inline constexpr size_t kRecordTimeFlag = 4;
inline constexpr size_t kRecordMonth = 5;
inline constexpr size_t kRecordDay = 6;
inline constexpr size_t kRecordHour = 7;
inline constexpr size_t kRecordMinute = 8;
inline constexpr size_t kRecordType = 9;
inline constexpr size_t kRecordParameter1 = 10;
inline constexpr size_t kRecordParameter2 = 12;
inline constexpr size_t kRecordParameter3 = 13;
// A frame must reach offset 13 to be a record.
inline constexpr size_t kMinRecordSize = kRecordParameter3 + 1;

// The first 16 bytes of a reply frame (zero beyond the frame's end), or nothing when the frame
// is too short to be a record. `frame` must hold the frame's length byte + 4 bytes.
std::optional<LastSeenRecord> RecordFromFrame(const uint8_t* frame);

// Bytes 4-10 and 12 equal.
bool SameEntry(const LastSeenRecord& a, const LastSeenRecord& b);
// True when every byte that counts for sameness is zero (a new collection's last-seen record).
bool IsBlankRecord(const LastSeenRecord& record);

// Data: byte 10 in bits 0-7 (bits 8-15 always 0), byte 12 in bits 16-23, byte 13 in 24-31.
uint32_t PackRecordData(const LastSeenRecord& record);

// The time of a record: the local date and time `now` with month, day, hour and minute from the
// record, seconds 0, in the current year. Nothing when the record carries no time (flag 0) or
// a date that does not exist (month 13, 31 April, 29 February of a common year, hour 24, ...).
std::optional<Date> RecordDate(const LastSeenRecord& record, std::time_t now);

// The event classes of the log and the type codes each takes.
enum class EventClass { kPlain, kAccess, kAlarm, kArm, kBypass, kMessage, kRestore, kTrouble };
// The class of a type code; nothing for a code outside the table (the record is refused).
std::optional<EventClass> EventClassOf(int64_t type);
// "Event", "AccessEvent", ... (the class name without "CZel").
std::string_view EventClassName(EventClass c);

// The three values an entry is made from, as the walk and the stored log give them.
struct EntryValues {
  Variant type;  // VT_I4: the type code
  Variant time;  // VT_DATE, or VT_BSTR (the unknown-time label) when the record has no time
  Variant data;  // VT_UI4
};
// The values of a record; `label` is the unknown-time text (resource string 103).
EntryValues EntryValuesOf(const LastSeenRecord& record, std::time_t now, const BStr& label);

}  // namespace zel
