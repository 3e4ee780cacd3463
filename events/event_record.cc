#include "events/event_record.h"

#include <algorithm>
#include <cstring>

namespace zel {

std::optional<LastSeenRecord> RecordFromFrame(const uint8_t* frame) {
  if (frame == nullptr) return std::nullopt;
  // Left to us: a reply too short to reach byte 13 is not a record; the walk passes over it.
  size_t size = size_t{frame[1]} + 4;
  if (size < kMinRecordSize) return std::nullopt;
  LastSeenRecord record{};
  std::memcpy(record.data(), frame, std::min(size, kLastSeenSize));
  return record;
}

bool SameEntry(const LastSeenRecord& a, const LastSeenRecord& b) {
  for (size_t i = kRecordTimeFlag; i <= kRecordParameter1; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[kRecordParameter2] == b[kRecordParameter2];
}

bool IsBlankRecord(const LastSeenRecord& record) { return SameEntry(record, LastSeenRecord{}); }

uint32_t PackRecordData(const LastSeenRecord& record) {
  return uint32_t{record[kRecordParameter1]} | uint32_t{record[kRecordParameter2]} << 16 |
         uint32_t{record[kRecordParameter3]} << 24;
}

std::optional<Date> RecordDate(const LastSeenRecord& record, std::time_t now) {
  if (record[kRecordTimeFlag] == 0) return std::nullopt;
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return std::nullopt;
  local.tm_mon = record[kRecordMonth] - 1;
  local.tm_mday = record[kRecordDay];
  local.tm_hour = record[kRecordHour];
  local.tm_min = record[kRecordMinute];
  local.tm_sec = 0;
  // Left to us: a date that does not exist in this year is taken as no time at all; the
  // conversion checks month, day of month, hour and minute.
  Date date{};
  if (Failed(DateFromTm(local, &date))) return std::nullopt;
  return date;
}

std::optional<EventClass> EventClassOf(int64_t type) {
  switch (type) {
    case 0x04:
    case 0x84:
      return EventClass::kBypass;
    case 0x05:
    case 0x06:
      return EventClass::kRestore;
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x33:
    case 0x34:
    case 0x35:
    case 0x36:
      return EventClass::kArm;
    case 0x80:
    case 0x81:
    case 0x85:
      return EventClass::kTrouble;
    case 0x82:
    case 0x86:
      return EventClass::kAccess;
    case 0x83:
    case 0x89:
      return EventClass::kPlain;
    case 0x87:
    case 0x88:
      return EventClass::kAlarm;
    case 0x8A:
      return EventClass::kMessage;
    default:
      return std::nullopt;
  }
}

std::string_view EventClassName(EventClass c) {
  switch (c) {
    case EventClass::kPlain:
      return "Event";
    case EventClass::kAccess:
      return "AccessEvent";
    case EventClass::kAlarm:
      return "AlarmEvent";
    case EventClass::kArm:
      return "ArmEvent";
    case EventClass::kBypass:
      return "BypassEvent";
    case EventClass::kMessage:
      return "MessageEvent";
    case EventClass::kRestore:
      return "RestoreEvent";
    case EventClass::kTrouble:
      return "TroubleEvent";
  }
  return "Event";
}

EntryValues EntryValuesOf(const LastSeenRecord& record, std::time_t now, const BStr& label) {
  EntryValues v;
  v.type = Variant::I4(record[kRecordType]);
  std::optional<Date> date = RecordDate(record, now);
  v.time = date ? Variant::FromDate(*date) : Variant::Str(label);
  v.data = Variant::UI4(PackRecordData(record));
  return v;
}

}  // namespace zel
