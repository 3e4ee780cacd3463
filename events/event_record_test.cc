// The raw record rules: the type-code table cell by cell, the sameness rule byte by byte, Data
// packing, record dates (impossible ones included) and records too short to read.
#include "events/event_record.h"

#include <gtest/gtest.h>

#include <map>

namespace zel {
namespace {

LastSeenRecord Record(uint8_t type, uint8_t p1, uint8_t p2, uint8_t p3 = 0) {
  LastSeenRecord r{};
  r[0] = 0x5A;
  r[1] = 0x0C;
  r[2] = 0x0D;
  r[kRecordTimeFlag] = 1;
  r[kRecordMonth] = 6;
  r[kRecordDay] = 15;
  r[kRecordHour] = 13;
  r[kRecordMinute] = 45;
  r[kRecordType] = type;
  r[kRecordParameter1] = p1;
  r[kRecordParameter2] = p2;
  r[kRecordParameter3] = p3;
  return r;
}

TEST(EventClassTable, EveryTypeCodeCellByCell) {
  const std::map<int, EventClass> expected = {
      {0x04, EventClass::kBypass},  {0x05, EventClass::kRestore}, {0x06, EventClass::kRestore},
      {0x30, EventClass::kArm},     {0x31, EventClass::kArm},     {0x32, EventClass::kArm},
      {0x33, EventClass::kArm},     {0x34, EventClass::kArm},     {0x35, EventClass::kArm},
      {0x36, EventClass::kArm},     {0x80, EventClass::kTrouble}, {0x81, EventClass::kTrouble},
      {0x82, EventClass::kAccess},  {0x83, EventClass::kPlain},   {0x84, EventClass::kBypass},
      {0x85, EventClass::kTrouble}, {0x86, EventClass::kAccess},  {0x87, EventClass::kAlarm},
      {0x88, EventClass::kAlarm},   {0x89, EventClass::kPlain},   {0x8A, EventClass::kMessage},
  };
  for (int code = -1; code <= 0x1FF; ++code) {
    auto it = expected.find(code);
    std::optional<EventClass> got = EventClassOf(code);
    if (it == expected.end()) {
      EXPECT_FALSE(got.has_value()) << "type 0x" << std::hex << code << " must be refused";
    } else {
      ASSERT_TRUE(got.has_value()) << "type 0x" << std::hex << code;
      EXPECT_EQ(it->second, *got) << "type 0x" << std::hex << code;
    }
  }
  // A code whose low byte is in the table but which is wider is still refused.
  EXPECT_FALSE(EventClassOf(0x104).has_value());
}

TEST(EventRecord, SamenessCountsBytes4To10And12Only) {
  const LastSeenRecord base = Record(0x31, 2, 1, 0);
  for (size_t i = 0; i < kLastSeenSize; ++i) {
    LastSeenRecord other = base;
    other[i] ^= 0x40;
    bool counts = (i >= 4 && i <= 10) || i == 12;
    EXPECT_EQ(!counts, SameEntry(base, other)) << "byte " << i;
  }
  EXPECT_TRUE(IsBlankRecord(LastSeenRecord{}));
  LastSeenRecord only_crc{};
  only_crc[14] = 0x12;
  only_crc[0] = 0x5A;
  EXPECT_TRUE(IsBlankRecord(only_crc));
  EXPECT_FALSE(IsBlankRecord(base));
}

TEST(EventRecord, DataPacksBytes10And12And13) {
  LastSeenRecord r = Record(0x31, 0xAB, 0xCD, 0xEF);
  r[11] = 0x77;  // not used
  EXPECT_EQ(0xEFCD00ABu, PackRecordData(r));
}

TEST(EventRecord, DateTakesMonthDayHourMinuteAndTheCurrentYear) {
  std::tm now_tm{};
  now_tm.tm_year = 2026 - 1900;
  now_tm.tm_mon = 11;
  now_tm.tm_mday = 6;
  now_tm.tm_hour = 7;
  now_tm.tm_min = 8;
  now_tm.tm_sec = 9;
  now_tm.tm_isdst = -1;
  std::time_t now = std::mktime(&now_tm);
  std::optional<Date> d = RecordDate(Record(0x31, 0, 0), now);
  ASSERT_TRUE(d.has_value());
  std::tm got{};
  ASSERT_EQ(S_OK, TmFromDate(*d, &got));
  EXPECT_EQ(2026 - 1900, got.tm_year);
  EXPECT_EQ(5, got.tm_mon);
  EXPECT_EQ(15, got.tm_mday);
  EXPECT_EQ(13, got.tm_hour);
  EXPECT_EQ(45, got.tm_min);
  EXPECT_EQ(0, got.tm_sec);
}

TEST(EventRecord, NoTimeFlagOrAnImpossibleDateGivesNoTime) {
  std::tm now_tm{};
  now_tm.tm_year = 2026 - 1900;  // a common year
  now_tm.tm_mon = 0;
  now_tm.tm_mday = 10;
  now_tm.tm_isdst = -1;
  std::time_t now = std::mktime(&now_tm);
  struct Case {
    uint8_t flag, month, day, hour, minute;
  };
  const Case impossible[] = {
      {0, 6, 15, 13, 45},  // no time logged
      {1, 0, 15, 13, 45}, {1, 13, 15, 13, 45}, {1, 4, 31, 13, 45}, {1, 2, 29, 13, 45},
      {1, 6, 0, 13, 45},  {1, 6, 32, 13, 45},  {1, 6, 15, 24, 45}, {1, 6, 15, 13, 60},
  };
  for (const Case& c : impossible) {
    LastSeenRecord r = Record(0x31, 0, 0);
    r[kRecordTimeFlag] = c.flag;
    r[kRecordMonth] = c.month;
    r[kRecordDay] = c.day;
    r[kRecordHour] = c.hour;
    r[kRecordMinute] = c.minute;
    EXPECT_FALSE(RecordDate(r, now).has_value())
        << int{c.flag} << " " << int{c.month} << "/" << int{c.day} << " " << int{c.hour} << ":"
        << int{c.minute};
    // Such a record's entry keeps its time unknown: the time value is the label text.
    EntryValues v = EntryValuesOf(r, now, BStr("Unknown"));
    EXPECT_EQ(VT_BSTR, v.time.vt());
  }
  LastSeenRecord any_flag = Record(0x31, 0, 0);
  any_flag[kRecordTimeFlag] = 0xFF;
  EXPECT_TRUE(RecordDate(any_flag, now).has_value());
}

TEST(EventRecord, FramesTooShortToReachByte13AreNotRecords) {
  uint8_t frame[32] = {0x5A, 0x09, 0x0D};  // 13 bytes in all: byte 13 missing
  EXPECT_FALSE(RecordFromFrame(frame).has_value());
  frame[1] = 0x0A;  // 14 bytes: reaches byte 13; the last-seen copy is zero beyond the frame
  frame[14] = 0x99;
  std::optional<LastSeenRecord> r = RecordFromFrame(frame);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(0, (*r)[14]);
  frame[1] = 0x0C;  // 16 bytes: all of them copied
  r = RecordFromFrame(frame);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(0x99, (*r)[14]);
}

}  // namespace
}  // namespace zel
