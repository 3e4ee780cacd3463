#include "server/system_parameters.h"

#include <gtest/gtest.h>

#include <array>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

namespace zel {
namespace {

class SystemParametersTest : public ::testing::Test {
 protected:
  // A zeroed block of 4096 bytes for a model, with the record firmware 3.0 selects.
  void UseModel(int model_index) {
    block_.assign(4096, 0);
    view_.model_index = model_index;
    view_.capabilities = SelectCapabilityRecord(model_index, 3, 0);
    Refresh();
  }
  void Refresh() { view_.block = block_; }
  Variant Read(uint32_t parameter, uint32_t sub = 0) {
    Variant v;
    last_ = ReadSystemParameter(view_, ParameterIndex(parameter, sub), &v);
    return v;
  }

  std::vector<uint8_t> block_;
  SetupBlockView view_;
  HRESULT last_ = S_OK;
};

TEST_F(SystemParametersTest, RefusedIndexesAndMissingBlock) {
  UseModel(7);
  for (uint32_t p : {0u, 5u, 21u, 0xFFFFu}) {
    Read(p);
    EXPECT_EQ(E_INVALIDARG, last_) << p;
  }
  view_.block = {};
  Read(14);
  EXPECT_EQ(E_FAIL, last_);
}

TEST_F(SystemParametersTest, BytesTablesAndConstantsAtTheModelsOffsets) {
  UseModel(7);
  block_[612] = 5;         // time zone
  block_[945] = 1;         // temperature format
  block_[780 + 3] = 0x20;  // zone type of zone 4
  block_[1006 + 2] = 2;    // area of zone 3
  Refresh();
  EXPECT_EQ(Variant::I4(5), Read(kParamTimeZone, 9));  // a byte parameter ignores the sub-index
  EXPECT_EQ(Variant::I4(1), Read(kParamTemperatureFormat));
  EXPECT_EQ(Variant::I4(0x20), Read(16, 3));
  EXPECT_EQ(Variant::I4(2), Read(15, 2));
  EXPECT_EQ(Variant::I4(1), Read(8, 40));  // a constant column
  UseModel(3);
  block_[478] = 9;
  Refresh();
  EXPECT_EQ(Variant::I4(9), Read(kParamTimeZone));
  EXPECT_EQ(Variant::I4(1), Read(2));  // "value 1" for this model
  UseModel(1);
  EXPECT_EQ(Variant::I4(0), Read(18, 4));  // "value 0"
}

// Every cell of the published offset table, read back through ReadSystemParameter: a marker
// byte at the cell's offset (plus the sub-index for tables, plus a code record for the code
// parameters) in an otherwise zeroed block, so an offset that is off by one reads 0.
TEST_F(SystemParametersTest, EveryCellOfTheOffsetTable) {
  // Byte, table, user code (bytes 0 and 1 of a record), code record byte, code record date,
  // parameter 19's first block.
  enum Kind { kByte, kTable, kCode, kCodeByte, kCodeDate, kParam19 };
  struct Cell {
    bool constant;
    int value;
  };
  constexpr auto O = [](int offset) { return Cell{false, offset}; };
  constexpr auto V = [](int value) { return Cell{true, value}; };
  struct Row {
    uint32_t parameter;
    Kind kind;
    std::array<Cell, 8> cells;  // models 0 | 1, 2 | 3 | 4 | 5 | 7 | 9 | 10
  };
  const Row kOffsets[] = {
      {1, kByte, {O(858), O(2619), O(750), O(986), O(3034), O(986), O(986), O(3034)}},
      {2, kTable, {O(904), O(2755), V(1), O(1054), O(3282), O(1054), V(1), V(1)}},
      {3, kCode, {O(329), O(383), O(320), O(329), O(383), O(329), O(320), O(320)}},
      {4, kCodeByte, {O(331), O(385), O(322), O(331), O(385), O(331), O(322), O(322)}},
      {6, kCodeDate, {O(333), O(387), O(324), O(333), O(387), O(333), O(324), O(324)}},
      {7, kCodeDate, {O(338), O(392), O(329), O(338), O(392), O(338), O(329), O(329)}},
      {8, kTable, {V(1), O(2643), V(1), V(1), O(3074), V(1), V(1), V(1)}},
      {9, kTable, {O(972), O(2971), O(777), O(1134), O(3514), O(1134), O(1031), O(3139)}},
      {10, kTable, {V(1), O(2963), V(1), O(1126), O(3498), O(1126), V(1), V(1)}},
      {11, kByte, {O(817), O(2578), O(709), O(945), O(2993), O(945), O(945), O(2993)}},
      {12, kTable, {O(924), O(2795), V(1), O(1078), O(3330), O(1078), V(1), V(1)}},
      {13, kTable, {O(931), O(2862), O(754), O(1085), O(3397), O(1085), O(990), O(3038)}},
      {14, kByte, {O(608), O(1878), O(478), O(612), O(1895), O(612), O(596), O(1783)}},
      {15, kTable, {O(872), O(2659), V(1), O(1006), O(3106), O(1006), V(1), V(1)}},
      {16, kTable, {O(684), O(2317), O(590), O(780), O(2572), O(780), O(780), O(2572)}},
      {17, kByte, {O(672), O(2304), O(576), O(768), O(2560), O(768), O(768), O(2560)}},
      {18, kTable, {V(0), V(0), O(486), O(622), O(1917), O(622), O(604), O(1791)}},
      {19, kParam19, {V(0), V(0), O(784), O(1141), O(3523), O(1142), O(1039), O(3148)}},
  };
  const std::vector<int> kColumnModels[8] = {{0}, {1, 2}, {3}, {4}, {5}, {7}, {9}, {10}};
  constexpr uint8_t kMarker = 0xA5;
  constexpr uint32_t kSub = 2;  // a table entry other than the first
  int cells = 0;
  for (const Row& row : kOffsets) {
    for (size_t column = 0; column < 8; ++column) {
      for (int model : kColumnModels[column]) {
        SCOPED_TRACE("parameter " + std::to_string(row.parameter) + ", model " +
                     std::to_string(model));
        UseModel(model);
        view_.now = 1'700'000'000;
        ++cells;
        const Cell& cell = row.cells[column];
        // Parameter 19 has entry 0 only on models 3 and 4.
        uint32_t sub = row.kind == kParam19 ? 0 : kSub;
        if (cell.constant) {
          EXPECT_EQ(Variant::I4(cell.value), Read(row.parameter, sub));
          continue;
        }
        const size_t record = static_cast<size_t>(cell.value) + 14;  // code 2's record
        switch (row.kind) {
          case kByte:
            block_[cell.value] = kMarker;
            Refresh();
            // A byte parameter ignores the sub-index.
            EXPECT_EQ(Variant::I4(kMarker), Read(row.parameter, sub));
            break;
          case kTable:
          case kParam19:
            block_[cell.value + sub] = kMarker;
            Refresh();
            EXPECT_EQ(Variant::I4(kMarker), Read(row.parameter, sub));
            break;
          case kCode:
            block_[record] = 0x12;
            block_[record + 1] = 0x34;
            Refresh();
            EXPECT_EQ(Variant::Str(BStr("4660")), Read(row.parameter, 1));
            break;
          case kCodeByte:
            block_[record] = kMarker;
            Refresh();
            EXPECT_EQ(Variant::I4(kMarker), Read(row.parameter, 1));
            break;
          case kCodeDate: {
            block_[record] = 7;
            block_[record + 1] = 30;
            block_[record + 2] = 2;
            block_[record + 3] = 28;
            Refresh();
            Variant v = Read(row.parameter, 1);
            ASSERT_EQ(S_OK, last_);
            std::tm t{};
            ASSERT_EQ(S_OK, TmFromDate(v.date(), &t));
            EXPECT_EQ(7, t.tm_hour);
            EXPECT_EQ(30, t.tm_min);
            EXPECT_EQ(1, t.tm_mon);
            EXPECT_EQ(28, t.tm_mday);
            break;
          }
        }
      }
    }
  }
  EXPECT_EQ(18 * 9, cells);  // every row, every model with a column
  // Parameter 19's second blocks: models 5 and 7 from firmware 2.16 (records 6 and 8: 5 entries,
  // the last 2 and 3 of them in the second block).
  for (auto [model, first_block, second] : {std::tuple{5, 3, 3731}, std::tuple{7, 2, 1211}}) {
    SCOPED_TRACE(model);
    block_.assign(4096, 0);
    view_.model_index = model;
    view_.capabilities = SelectCapabilityRecord(model, 2, 16);
    block_[second] = kMarker;
    Refresh();
    EXPECT_EQ(Variant::I4(kMarker), Read(19, static_cast<uint32_t>(first_block)));
  }
}

TEST_F(SystemParametersTest, ModelsWithoutALayout) {
  for (int model : {6, 8, kUnknownModelIndex}) {
    UseModel(model);
    EXPECT_EQ(Variant::I4(-1), Read(14)) << model;
    EXPECT_EQ(Variant::I4(-1), Read(4)) << model;
    for (uint32_t p : {3u, 6u, 7u}) {
      Read(p);
      EXPECT_EQ(E_FAIL, last_) << model << " parameter " << p;
    }
  }
}

TEST_F(SystemParametersTest, UserCodesAreFourDigitTextHighByteFirst) {
  UseModel(4);
  block_[329] = 0x00;  // code 1: 0x0007
  block_[330] = 0x07;
  block_[329 + 14] = 0x26;  // code 2: 0x2694 = 9876
  block_[330 + 14] = 0x94;
  block_[331 + 14] = 3;  // its authority level
  Refresh();
  EXPECT_EQ(Variant::Str("0007"), Read(kParamUserCode, 0));
  EXPECT_EQ(Variant::Str("9876"), Read(kParamUserCode, 1));
  EXPECT_EQ(Variant::I4(3), Read(4, 1));
  Read(kParamUserCode, 2);  // both bytes zero: not set
  EXPECT_EQ(E_FAIL, last_);
  Read(kParamUserCode, 1000);  // beyond the block
  EXPECT_EQ(DISP_E_BADINDEX, last_);
}

TEST_F(SystemParametersTest, AccessDatesTakeTodayWithTheRecordsFields) {
  UseModel(0);
  view_.now = 1'700'000'000;
  const int start = 333 + 14;  // code 2's access start: hour, minute, month, day
  block_[start] = 7;
  block_[start + 1] = 30;
  block_[start + 2] = 2;
  block_[start + 3] = 28;
  Refresh();
  Variant v = Read(6, 1);
  ASSERT_EQ(S_OK, last_);
  ASSERT_EQ(VT_DATE, v.vt());
  std::tm t{};
  ASSERT_EQ(S_OK, TmFromDate(v.date(), &t));
  std::tm today{};
  std::time_t now = view_.now;
  localtime_r(&now, &today);
  EXPECT_EQ(today.tm_year, t.tm_year);
  EXPECT_EQ(1, t.tm_mon);
  EXPECT_EQ(28, t.tm_mday);
  EXPECT_EQ(7, t.tm_hour);
  EXPECT_EQ(30, t.tm_min);
  EXPECT_EQ(0, t.tm_sec);
  Read(7, 1);  // the access end is all zero: no calendar date
  EXPECT_EQ(E_FAIL, last_);
}

TEST_F(SystemParametersTest, Parameter19InTwoBlocks) {
  // Model 7 with 2.16 firmware reads record 8: 5 entries, the last 3 in the second block.
  block_.assign(4096, 0);
  view_.model_index = 7;
  view_.capabilities = SelectCapabilityRecord(7, 2, 16);
  for (int i = 0; i < 5; ++i) block_[1142 + i] = static_cast<uint8_t>(10 + i);
  for (int i = 0; i < 5; ++i) block_[1211 + i] = static_cast<uint8_t>(20 + i);
  Refresh();
  EXPECT_EQ(Variant::I4(10), Read(19, 0));
  EXPECT_EQ(Variant::I4(11), Read(19, 1));
  EXPECT_EQ(Variant::I4(20), Read(19, 2));
  EXPECT_EQ(Variant::I4(22), Read(19, 4));
  // The same model on older firmware (record 7, nothing in a second block).
  view_.capabilities = SelectCapabilityRecord(7, 2, 15);
  EXPECT_EQ(Variant::I4(12), Read(19, 2));
  // Models 3 and 4 have entry 0 only; models 0 to 2 read 0.
  UseModel(4);
  block_[1141] = 8;
  Refresh();
  EXPECT_EQ(Variant::I4(8), Read(19, 0));
  Read(19, 1);
  EXPECT_EQ(E_UNEXPECTED, last_);
  UseModel(2);
  EXPECT_EQ(Variant::I4(0), Read(19, 3));
}

TEST_F(SystemParametersTest, AudioScanFindsTheFirstAudioValue) {
  UseModel(7);
  view_.capabilities = CapabilityRecordAt(7);  // 1 expansion entry, then 3 of parameter 19
  EXPECT_EQ(Variant::Bool(false), Read(kParamAudioPresent));
  EXPECT_EQ(acmNone, AudioControlModelOf(view_));
  block_[1142 + 2] = 8;  // parameter 19, entry 2: an audio value
  Refresh();
  EXPECT_EQ(acmRussound, AudioControlModelOf(view_));
  block_[1134] = 14;     // the scanned expansion entry wins over parameter 19
  block_[1134 + 1] = 7;  // one past the scan: not looked at
  Refresh();
  EXPECT_EQ(14, ScanForAudioValue(view_));
  EXPECT_EQ(acmXantech, AudioControlModelOf(view_));
  EXPECT_EQ(Variant::Bool(true), Read(kParamAudioPresent));
  view_.capabilities = nullptr;
  EXPECT_EQ(acmUnknown, AudioControlModelOf(view_));
}

TEST_F(SystemParametersTest, AudioValuesMapToControlModels) {
  const std::pair<int, AudioControlModel> map[] = {{7, acmNuVo},
                                                   {8, acmRussound},
                                                   {11, acmZelHiFi},
                                                   {12, acmNuVoGrandConcerto},
                                                   {13, acmNuVoEssentiaSimplese},
                                                   {14, acmXantech},
                                                   {15, acmSpeakerCraft},
                                                   {16, acmProficient},
                                                   {19, acmRussoundESeries},
                                                   {9, acmNone}};
  UseModel(0);  // record 0: 1 expansion entry at 972
  for (auto [value, model] : map) {
    block_[972] = static_cast<uint8_t>(value);
    Refresh();
    EXPECT_EQ(model, AudioControlModelOf(view_)) << value;
  }
}

}  // namespace
}  // namespace zel
