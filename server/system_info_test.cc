#include "server/system_info.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "testing/frames.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

// Reads server/testdata/capability_records.txt with its own small parser.
std::map<int, std::vector<int>> ReadRecordFile() {
  std::ifstream in(std::string(ZEL_SOURCE_DIR) + "/server/testdata/capability_records.txt");
  std::map<int, std::vector<int>> records;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    int index = std::stoi(line.substr(0, colon));
    std::string rest = line.substr(colon + 1);
    for (char& c : rest) {
      if (c == ',') c = ' ';
    }
    std::istringstream words(rest);
    std::vector<std::string> tokens;
    for (std::string w; words >> w;) tokens.push_back(w);
    std::vector<int> bytes;
    if (tokens[0] != "as") {
      for (const std::string& t : tokens) bytes.push_back(std::stoi(t, nullptr, 16));
    } else {
      bytes = records.at(std::stoi(tokens[1]));
      std::vector<int> offsets;
      for (size_t i = 2; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        if (t == "but" || t == "and" || t == "byte" || t == "bytes") continue;
        if (t == "is" || t == "are") {
          int value = std::stoi(tokens[++i], nullptr, 16);
          for (int o : offsets) bytes.at(o) = value;
          offsets.clear();
          continue;
        }
        offsets.push_back(std::stoi(t));
      }
    }
    records[index] = bytes;
  }
  return records;
}

TEST(CapabilityRecordTest, EveryByteMatchesTheIndependentCopy) {
  std::map<int, std::vector<int>> expected = ReadRecordFile();
  ASSERT_EQ(11u, expected.size());
  for (const auto& [index, bytes] : expected) {
    ASSERT_EQ(76u, bytes.size()) << "record " << index;
    const CapabilityRecord* record = CapabilityRecordAt(index);
    ASSERT_NE(nullptr, record);
    for (size_t i = 0; i < bytes.size(); ++i) {
      EXPECT_EQ(bytes[i], record->Byte(i)) << "record " << index << " byte " << i;
    }
  }
  EXPECT_EQ(nullptr, CapabilityRecordAt(11));
  EXPECT_EQ(nullptr, CapabilityRecordAt(-1));
}

TEST(CapabilityRecordTest, Firmware216SwitchesModels5And7) {
  // Before 2.16 every model uses its own record.
  EXPECT_EQ(CapabilityRecordAt(7), SelectCapabilityRecord(7, 2, 15));
  EXPECT_EQ(CapabilityRecordAt(5), SelectCapabilityRecord(5, 1, 99));
  // From 2.16 on, model 7 reads record 8 and model 5 record 6; the others are unchanged.
  EXPECT_EQ(CapabilityRecordAt(8), SelectCapabilityRecord(7, 2, 16));
  EXPECT_EQ(CapabilityRecordAt(6), SelectCapabilityRecord(5, 3, 0));
  EXPECT_EQ(CapabilityRecordAt(4), SelectCapabilityRecord(4, 3, 0));
  EXPECT_EQ(nullptr, SelectCapabilityRecord(kUnknownModelIndex, 3, 0));
}

TEST(ModelTableTest, PresentRowsAndUnknownCodes) {
  const std::map<int, int> present = {{2, 0},  {4, 1},  {5, 2},  {7, 0},  {8, 2},  {9, 3},  {10, 3},
                                      {11, 3}, {12, 3}, {15, 4}, {16, 5}, {17, 4}, {18, 5}, {19, 5},
                                      {20, 3}, {21, 4}, {22, 3}, {23, 4}, {24, 5}, {25, 3}, {26, 4},
                                      {27, 5}, {28, 4}, {29, 5}, {30, 7}, {31, 7}, {32, 7}, {33, 7},
                                      {34, 7}, {35, 7}, {36, 9}, {37, 10}};
  std::set<uint32_t> names;
  for (int code = 0; code < 256; ++code) {
    ModelRow row = LookUpModelCode(static_cast<uint8_t>(code));
    auto it = present.find(code);
    if (it == present.end()) {
      EXPECT_FALSE(row.present) << code;
      continue;
    }
    ASSERT_TRUE(row.present) << code;
    EXPECT_EQ(it->second, row.model_index) << code;
    // Names lie between 104 and 142 and never on the other texts at 130 to 132.
    EXPECT_GE(row.name_string_id, 104u);
    EXPECT_LE(row.name_string_id, 142u);
    EXPECT_TRUE(row.name_string_id < 130 || row.name_string_id > 132) << code;
    names.insert(row.name_string_id);
  }
  EXPECT_EQ(present.size(), names.size());  // one name per row
}

TEST(VersionTextTest, RevisionLettersAndPreReleases) {
  EXPECT_EQ("2.16", FormatVersionText(2, 16, 0));
  EXPECT_EQ("2.16A", FormatVersionText(2, 16, 1));
  EXPECT_EQ("3.2C", FormatVersionText(3, 2, 3));
  EXPECT_EQ("2.16X1", FormatVersionText(2, 16, static_cast<int8_t>(0xFF)));
  EXPECT_EQ("2.16X9", FormatVersionText(2, 16, -9));
  // Past 9 the character code simply runs on.
  EXPECT_EQ("2.16X:", FormatVersionText(2, 16, -10));
}

TEST(SystemInformationReplyTest, ParsesFieldsAndPhoneUpToZero) {
  Bytes f = SealFrame(0x12, {30, 2, 16, 0xFF, '5', '5', '5', 0, 'x'});
  SystemInformationReply r;
  ASSERT_EQ(S_OK, ParseSystemInformationReply(f, &r));
  EXPECT_EQ(30, r.model_code);
  EXPECT_EQ(2, r.major);
  EXPECT_EQ(16, r.minor);
  EXPECT_EQ(-1, r.revision);
  EXPECT_EQ("555", r.phone_number);
  // No zero byte: the text runs to the end of the data, not into the CRC.
  f = SealFrame(0x12, {30, 2, 16, 0, '1', '2'});
  ASSERT_EQ(S_OK, ParseSystemInformationReply(f, &r));
  EXPECT_EQ("12", r.phone_number);
}

TEST(SystemInformationReplyTest, TruncatedRepliesAreRefused) {
  SystemInformationReply r;
  r.model_code = 99;
  for (size_t data = 0; data < 4; ++data) {
    std::vector<uint8_t> bytes = {30, 2, 16, 0};
    bytes.resize(data);
    EXPECT_EQ(E_FAIL, ParseSystemInformationReply(SealFrame(0x12, bytes), &r)) << data;
  }
  EXPECT_EQ(99, r.model_code);  // untouched
}

TEST(SystemStatusReplyTest, YearsWeekdaysAndLength) {
  std::vector<uint8_t> data = {1, 81, 12, 31, 7, 23, 59, 58, 1, 6, 45, 17, 20, 87};
  ControllerStatusRecord r;
  ASSERT_EQ(S_OK, ParseSystemStatusReply(SealFrame(0x14, data), &r));
  EXPECT_EQ(2081, r.year);
  EXPECT_EQ(0, r.day_of_week);  // Sunday
  EXPECT_EQ(58, r.second);
  EXPECT_EQ(87, r.battery);
  data[1] = 82;
  data[4] = 6;
  ASSERT_EQ(S_OK, ParseSystemStatusReply(SealFrame(0x14, data), &r));
  EXPECT_EQ(1982, r.year);
  EXPECT_EQ(6, r.day_of_week);
  data.pop_back();
  EXPECT_EQ(E_FAIL, ParseSystemStatusReply(SealFrame(0x14, data), &r));
  EXPECT_EQ(1982, r.year);
}

}  // namespace
}  // namespace zel
