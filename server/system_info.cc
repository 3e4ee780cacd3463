#include "server/system_info.h"

#include <string_view>

#include "platform/text_encoding.h"

namespace zel {
namespace {

// Model code -> model index and the string id of the model's name; index -1 where the code
// names no model. The names are strings 104 to 142 of the catalogue, given to the present rows
// in code order; 130 to 132 are other texts (the unset date, the transport names) and are
// passed over.
struct ModelEntry {
  int8_t model_index;
  uint16_t name_id;
};
constexpr std::array<ModelEntry, kModelCodeCount> kModelTable = {{
    {-1, 0},  {-1, 0},  {0, 104},  {-1, 0},  {1, 105},  // codes  0 ..  4
    {2, 106}, {-1, 0},  {0, 107},  {2, 108}, {3, 109},  // codes  5 ..  9
    {3, 110}, {3, 111}, {3, 112},  {-1, 0},  {-1, 0},   // codes 10 .. 14
    {4, 113}, {5, 114}, {4, 115},  {5, 116}, {5, 117},  // codes 15 .. 19
    {3, 118}, {4, 119}, {3, 120},  {4, 121}, {5, 122},  // codes 20 .. 24
    {3, 123}, {4, 124}, {5, 125},  {4, 126}, {5, 127},  // codes 25 .. 29
    {7, 128}, {7, 129}, {7, 133},  {7, 134}, {7, 135},  // codes 30 .. 34
    {7, 136}, {9, 137}, {10, 138},                      // codes 35 .. 37
}};

constexpr uint8_t HexDigit(char c) {
  return static_cast<uint8_t>(c >= '0' && c <= '9' ? c - '0' : c - 'a' + 10);
}

// Builds a record from 76 two-digit lower-case hex bytes separated by single blanks.
constexpr CapabilityRecord FromHex(std::string_view hex) {
  CapabilityRecord r{};
  for (size_t i = 0; i < kCapabilityRecordSize; ++i) {
    r.bytes[i] = static_cast<uint8_t>(HexDigit(hex[3 * i]) << 4 | HexDigit(hex[3 * i + 1]));
  }
  return r;
}

constexpr CapabilityRecord With(CapabilityRecord r, std::initializer_list<std::pair<int, int>> at) {
  for (auto [offset, value] : at) r.bytes[offset] = static_cast<uint8_t>(value);
  return r;
}

constexpr CapabilityRecord kRecord0 = FromHex(
    "08 01 20 00 40 00 10 04 02 00 20 00 40 00 20 10 04 02 00 20 40 00 20 10 04 02 00 01 10 11 "
    "20 11 20 00 01 00 20 00 21 00 28 00 00 00 00 00 29 00 40 00 00 00 01 00 00 00 01 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
constexpr CapabilityRecord kRecord1 = FromHex(
    "10 04 60 00 ff 00 63 40 08 80 60 00 ff 00 40 63 40 08 80 60 ff 00 40 63 40 08 40 01 10 11 "
    "20 21 60 00 01 00 80 00 c1 00 c8 00 81 00 c0 00 c9 00 ff 00 00 00 01 00 00 00 02 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
constexpr CapabilityRecord kRecord3 = FromHex(
    "04 00 19 00 24 00 08 02 01 10 19 00 24 00 10 08 02 00 10 19 24 00 10 08 02 00 10 01 08 09 "
    "18 09 18 00 01 00 10 00 11 00 1c 00 00 00 00 00 1d 00 24 00 00 00 01 00 00 00 02 00 00 00 "
    "00 00 00 00 06 08 1d 00 22 00 11 00 18 00 00 00");
constexpr CapabilityRecord kRecord4 = FromHex(
    "08 01 30 00 80 00 10 04 02 40 30 00 80 00 40 10 04 02 40 30 80 00 40 10 04 02 40 01 10 11 "
    "30 21 30 00 01 00 40 00 41 00 48 00 00 00 00 00 49 00 80 00 00 00 01 00 00 00 02 00 00 00 "
    "00 00 00 00 06 08 71 00 76 00 79 00 80 00 00 00");
constexpr CapabilityRecord kRecord5 = FromHex(
    "10 04 b0 00 ff 01 63 40 08 80 b0 00 ff 01 80 63 40 08 80 b0 ff 01 80 63 40 08 80 01 10 11 "
    "30 31 b0 00 01 00 00 01 81 01 88 01 01 01 80 01 89 01 ff 01 00 00 01 00 00 00 04 00 00 00 "
    "01 00 00 00 08 24 c9 01 d0 01 d9 01 fc 01 00 00");
constexpr CapabilityRecord kRecord7 = With(kRecord4, {{56, 0x03}, {60, 0x01}});

constexpr std::array<CapabilityRecord, kCapabilityRecordCount> kCapabilityRecords = {
    kRecord0,
    kRecord1,
    kRecord1,  // record 2 equals record 1
    kRecord3,
    kRecord4,
    kRecord5,
    With(kRecord5, {{56, 0x05}, {57, 0x02}}),
    kRecord7,
    With(kRecord4, {{56, 0x05}, {57, 0x03}, {60, 0x01}}),
    With(kRecord7, {{8, 0x01}, {17, 0x01}, {25, 0x01}, {66, 0x72}}),
    With(kRecord5, {{8, 0x01}, {17, 0x01}, {25, 0x01}}),
};

// Firmware 2.16 is the first whose models 5 and 7 report the larger parameter-19 tables.
bool IsFirmware216OrLater(uint8_t major, uint8_t minor) {
  return major > 2 || (major == 2 && minor >= 16);
}

}  // namespace

ModelRow LookUpModelCode(uint8_t code) {
  if (code >= kModelCodeCount || kModelTable[code].model_index < 0) return ModelRow{};
  return ModelRow{true, kModelTable[code].model_index, kModelTable[code].name_id};
}

const CapabilityRecord* CapabilityRecordAt(int record) {
  if (record < 0 || record >= kCapabilityRecordCount) return nullptr;
  return &kCapabilityRecords[record];
}

const CapabilityRecord* SelectCapabilityRecord(int model_index, uint8_t major, uint8_t minor) {
  int record = model_index;
  if (IsFirmware216OrLater(major, minor)) {
    if (model_index == 7) record = 8;
    if (model_index == 5) record = 6;
  }
  return CapabilityRecordAt(record);
}

HRESULT ParseSystemInformationReply(std::span<const uint8_t> frame, SystemInformationReply* out) {
  if (out == nullptr) return E_POINTER;
  // The data runs from offset 3 to offset L + 1; the revision byte is offset 6.
  if (frame.size() < 7 || frame[1] + 2u < 7) return E_FAIL;
  size_t data_end = size_t{frame[1]} + 2;  // one past the last data byte
  SystemInformationReply r;
  r.model_code = frame[3];
  r.major = frame[4];
  r.minor = frame[5];
  r.revision = static_cast<int8_t>(frame[6]);
  std::string phone;
  for (size_t i = 7; i < data_end && i < frame.size() && frame[i] != 0; ++i) {
    phone.push_back(static_cast<char>(frame[i]));
  }
  r.phone_number = Latin1ToUtf8(phone);
  *out = std::move(r);
  return S_OK;
}

std::string FormatVersionText(uint8_t major, uint8_t minor, int8_t revision) {
  std::string text = std::to_string(major) + "." + std::to_string(minor);
  if (revision > 0) {
    text += Latin1ToUtf8(std::string(1, static_cast<char>('A' + revision - 1)));
  } else if (revision < 0) {
    // -128 gives "0" + 128, a character above ASCII: kept as the single byte it is.
    text += "X" + Latin1ToUtf8(std::string(1, static_cast<char>('0' - revision)));
  }
  return text;
}

HRESULT ParseSystemStatusReply(std::span<const uint8_t> frame, ControllerStatusRecord* out) {
  if (out == nullptr) return E_POINTER;
  // The battery byte is offset 16, the last data byte must reach it: L + 1 >= 16.
  if (frame.size() < 17 || frame[1] + 1u < 16) return E_FAIL;
  ControllerStatusRecord r;
  r.date_valid = frame[3];
  // Two-digit years: below 82 are this century (2000 + value), the rest the last one.
  r.year = static_cast<uint16_t>(frame[4] < 82 ? 2000 + frame[4] : 1900 + frame[4]);
  r.month = frame[5];
  r.day = frame[6];
  r.day_of_week = frame[7] == 7 ? 0 : frame[7];  // the controller counts Sunday as 7
  r.hour = frame[8];
  r.minute = frame[9];
  r.second = frame[10];
  r.milliseconds = 0;
  r.daylight_saving = frame[11];
  r.sunrise_hour = frame[12];
  r.sunrise_minute = frame[13];
  r.sunset_hour = frame[14];
  r.sunset_minute = frame[15];
  r.battery = frame[16];
  *out = r;
  return S_OK;
}

}  // namespace zel
