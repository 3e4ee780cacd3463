// What the controller tells about itself: the model table (model code -> model index and name),
// the eleven per-model capability records the object model takes its counts from, the
// system-information reply (model, firmware version, phone number) and the system-status reply
// (clock, daylight-saving flag, sun times, battery).
//
// Layouts (offsets count from the frame's start byte 0x5A):
//   system information reply: 3 model code, 4 major, 5 minor, 6 revision (signed),
//                             7.. phone number, single-byte text up to the first zero byte
//   system status reply:      3 date valid, 4 year (two digits), 5 month, 6 day, 7 day of week
//                             (7 = Sunday, kept as 0), 8 hour, 9 minute, 10 second,
//                             11 daylight saving, 12/13 sunrise h/m, 14/15 sunset h/m,
//                             16 battery, 17.. expansion data (read by the object model)
//
// Thread contract: the tables are constant; the parsers are stateless.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/status.h"

namespace zel {

// ---- Model table -----------------------------------------------------------------------------

inline constexpr int kUnknownModelIndex = -1;
inline constexpr int kModelCodeCount = 38;  // codes 0 to 37; 38 and up are unknown models
inline constexpr uint32_t kUnknownModelStringId = 103;

struct ModelRow {
  bool present = false;
  int model_index = kUnknownModelIndex;
  uint32_t name_string_id = kUnknownModelStringId;
};

// The row of a model code; an absent row (present false) for codes without a model and for every
// code of 38 and up.
ModelRow LookUpModelCode(uint8_t code);

// ---- Capability records -------------------------------------------------------------------

inline constexpr size_t kCapabilityRecordSize = 76;
inline constexpr int kCapabilityRecordCount = 11;

struct CapabilityRecord {
  std::array<uint8_t, kCapabilityRecordSize> bytes;

  uint8_t Byte(size_t offset) const { return bytes[offset]; }
  // Little-endian 16- and 32-bit fields.
  uint16_t Word(size_t offset) const {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
  }
  uint32_t Dword(size_t offset) const {
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
           uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
  }
};
static_assert(sizeof(CapabilityRecord) == kCapabilityRecordSize);

// Offsets of the fields the server core reads (the object model reads others).
inline constexpr size_t kCapAudioScanEntries = 1;     // entries of parameter 9 scanned for audio
inline constexpr size_t kCapUserCodeCount = 6;        // number of user codes
inline constexpr size_t kCapHasParameter19 = 52;      // 32-bit, non-zero: parameter 19 exists
inline constexpr size_t kCapParameter19Entries = 56;  // entries of parameter 19
inline constexpr size_t kCapParameter19Second = 57;   // of those, how many lie in a second block
inline constexpr size_t kCapAudioSourceCount = 64;
inline constexpr size_t kCapAudioZoneCount = 65;
inline constexpr size_t kCapFirstAudioSourceUnit = 66;  // 16-bit
inline constexpr size_t kCapLastAudioSourceUnit = 68;   // 16-bit
inline constexpr size_t kCapFirstAudioZoneUnit = 70;    // 16-bit
inline constexpr size_t kCapLastAudioZoneUnit = 72;     // 16-bit

// Record 0 .. 10; null outside.
const CapabilityRecord* CapabilityRecordAt(int record);

// The record of a model index for the firmware version: from 2.16 on, model 7 uses record 8 and
// model 5 record 6. Null for an unknown model index.
const CapabilityRecord* SelectCapabilityRecord(int model_index, uint8_t major, uint8_t minor);

// ---- System information reply ---------------------------------------------------------------

struct SystemInformationReply {
  uint8_t model_code = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  int8_t revision = 0;
  std::string phone_number;  // UTF-8 (the controller sends single-byte text)
};

// Parses a reply frame; `frame` spans the reply as received. A frame whose data does not reach
// the revision byte is E_FAIL (nothing parsed).
HRESULT ParseSystemInformationReply(std::span<const uint8_t> frame, SystemInformationReply* out);

// "major.minor", then for a positive revision the letter "A" + revision - 1, for a negative one
// "X" and the character "0" + (-revision): 2.16 with revision 1 is "2.16A", with 0xFF "2.16X1".
std::string FormatVersionText(uint8_t major, uint8_t minor, int8_t revision);

// ---- System status reply --------------------------------------------------------------------

struct ControllerStatusRecord {
  int32_t date_valid = 0;
  // The controller's date and time, as the system time structure holds it.
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day_of_week = 0;  // 0 Sunday .. 6 Saturday
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
  int32_t daylight_saving = 0;
  uint16_t sunrise_hour = 0;
  uint16_t sunrise_minute = 0;
  uint16_t sunset_hour = 0;
  uint16_t sunset_minute = 0;
  int32_t battery = 0;
};

// Parses a status reply frame. A frame whose data does not reach the battery byte is E_FAIL.
HRESULT ParseSystemStatusReply(std::span<const uint8_t> frame, ControllerStatusRecord* out);

// The span of a reply buffer's frame (start byte to CRC), taken from its length byte.
inline std::span<const uint8_t> ReplyFrame(const uint8_t* reply) {
  return std::span<const uint8_t>(reply, size_t{reply[1]} + 4);
}

}  // namespace zel
