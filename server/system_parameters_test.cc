#include "server/system_parameters.h"

#include <gtest/gtest.h>

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
