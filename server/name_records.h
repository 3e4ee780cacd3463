// Name records: the names of the controller's objects as the names download receives them and
// the local store keeps them, and the friendly names and display flags users give to objects.
//
// Stored forms (little-endian, records back to back to the end of the stream):
//   "Names.2" (version 2), "Names" (version 1):
//     type (4), number (2), length (4), text (length bytes, single-byte, no terminator)
//   "FriendlyNames.2" (version 2), "FriendlyNames" (version 1):
//     type (4), number (2), display (4: 1 shown, 0 hidden), length (4), text (length bytes)
// Name frame from the controller (message type 0x0B; offsets from the start byte):
//   length byte 16 or 19: 3 type, 4 number, 5.. text;  any other: 3 type, 4-5 number (high
//   byte first), 6.. text; the text runs to its first zero byte or the end of the data.
// See docs/names_format.md.
//
// Thread contract: stateless; the caller serialises use of a stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace zel {

inline constexpr int kNamesVersion1 = 1;
inline constexpr int kNamesVersion2 = 2;
inline constexpr std::string_view kNamesStream2 = "Names.2";
inline constexpr std::string_view kNamesStream1 = "Names";
inline constexpr std::string_view kFriendlyNamesStream2 = "FriendlyNames.2";
inline constexpr std::string_view kFriendlyNamesStream1 = "FriendlyNames";

struct NameRecord {
  uint32_t type = 0;
  uint16_t number = 0;
  std::string text;  // single-byte (ISO-8859-1) text
  friend bool operator==(const NameRecord&, const NameRecord&) = default;
};

struct FriendlyNameRecord {
  uint32_t type = 0;  // the collection ordinal: 1 Zones .. 9 AudioZones
  uint16_t number = 0;
  uint32_t display = 0;
  std::string text;  // single-byte text; empty: no friendly name
  friend bool operator==(const FriendlyNameRecord&, const FriendlyNameRecord&) = default;
};

HRESULT WriteNameRecord(IStream* stream, const NameRecord& record);
// S_OK with a record; S_FALSE when the stream ends before a whole record (the end of loading);
// a failed read is returned.
HRESULT ReadNameRecord(IStream* stream, NameRecord* record);

HRESULT WriteFriendlyNameRecord(IStream* stream, const FriendlyNameRecord& record);
// S_OK with a record; S_FALSE at the normal end (the type field short or absent); E_UNEXPECTED
// when a later field of the record is short.
HRESULT ReadFriendlyNameRecord(IStream* stream, FriendlyNameRecord* record);

// Decodes a name frame. E_FAIL for a frame too short to hold a type and a number.
HRESULT ParseNameFrame(const uint8_t* frame, NameRecord* record);

}  // namespace zel
