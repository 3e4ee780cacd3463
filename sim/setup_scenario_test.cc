#include "sim/setup_scenario.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/civil_time.h"
#include "sim/handlers.h"
#include "sim/scenario.h"

namespace zel::sim {
namespace {

using nlohmann::json;

Scenario Parse(const std::string& text) {
  Scenario s;
  std::string error;
  EXPECT_EQ(S_OK, ParseScenario(text, &s, &error)) << error;
  return s;
}

RequestFrame Request(uint8_t type, const Bytes& data = {}) {
  RequestFrame f;
  f.raw = MakeFrame(type, data);
  f.crc_ok = true;
  return f;
}

Bytes Block(const Scenario& s) {
  Bytes block;
  std::string error;
  EXPECT_EQ(S_OK, BuildSetupBlock(s.document, s.model, s.firmware.major, s.firmware.minor, &block,
                                  &error))
      << error;
  return block;
}

TEST(SetupBlockTest, MeaningsLandAtTheModelsOffsets) {
  // Model code 30 is model index 7.
  Scenario s = Parse(R"({"controller": {"model": 30},
    "setup": {"time_zone": 5, "temperature_format": 1, "areas_in_use": 2,
              "expansions": [7, 0, 3], "audio_modules": [11, 12, 13],
              "user_codes": [{"number": 2, "code": "0007", "authority": 3,
                              "start": [7, 30, 2, 28]}],
              "zones": [{"number": 4, "type": 32, "area": 2}],
              "bytes": {"1000": 171}}})");
  Bytes b = Block(s);
  ASSERT_EQ(1280u, b.size());
  EXPECT_EQ(5, b[612]);
  EXPECT_EQ(1, b[945]);
  EXPECT_EQ(2, b[986]);
  EXPECT_EQ((Bytes{7, 0, 3}), Bytes(b.begin() + 1134, b.begin() + 1137));
  // Firmware 3.2: two audio slots in the first block, the rest in the second.
  EXPECT_EQ(11, b[1142]);
  EXPECT_EQ(12, b[1143]);
  EXPECT_EQ(13, b[1211]);
  EXPECT_EQ((Bytes{0x00, 0x07, 3, 0, 7, 30, 2, 28}), Bytes(b.begin() + 343, b.begin() + 351));
  EXPECT_EQ(32, b[780 + 3]);
  EXPECT_EQ(2, b[1006 + 3]);
  EXPECT_EQ(171, b[1000]);
}

TEST(SetupBlockTest, ObjectsSupplyCodesAndZones) {
  Scenario s = Parse(R"({"controller": {"model": 2},
    "objects": {"codes": [{"number": 1, "name": "OWNER", "code": "1234"}],
                "zones": [{"number": 3, "name": "DOOR", "area": 2, "type": 1}]}})");
  Bytes b = Block(s);       // model index 0
  EXPECT_EQ(0x04, b[329]);  // 1234 = 0x04D2
  EXPECT_EQ(0xD2, b[330]);
  EXPECT_EQ(1, b[684 + 2]);
  EXPECT_EQ(2, b[872 + 2]);
}

TEST(SetupBlockTest, RawBytesAndSize) {
  Scenario s = Parse(R"({"setup": {"size": 24, "raw": "01 02 03 ff"}})");
  Bytes b = Block(s);
  ASSERT_EQ(24u, b.size());
  EXPECT_EQ((Bytes{1, 2, 3, 0xFF, 0}), Bytes(b.begin(), b.begin() + 5));
  EXPECT_EQ(64u, s.setup_block_size);
}

TEST(SetupBlockTest, RefusedDescriptions) {
  Scenario s;
  std::string error;
  for (const char* text : {
           R"({"setup": {"block_size": 253}})",
           R"({"setup": {"block_size": 0}})",
           R"({"setup": {"raw": "0g"}})",
           R"({"setup": {"time_zone": 256}})",
           R"({"setup": {"size": 10, "time_zone": 1}})",
           R"({"controller": {"model": 38}, "setup": {"time_zone": 1}})",
           R"({"setup": {"user_codes": [{"number": 1, "code": "12a4"}]}})",
           R"({"setup": {"bytes": {"x": 1}}})",
           R"({"status": {"time": "yesterday"}})",
           R"({"status": {"sunrise": "25:00"}})",
           R"({"status": {"area_modes": [300]}})",
       }) {
    error.clear();
    EXPECT_EQ(E_INVALIDARG, ParseScenario(text, &s, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(ControllerHandlersTest, SystemInformationReply) {
  SimState state;
  state.scenario = Parse(R"({"controller": {"model": 37, "phone_number": "5551",
                            "firmware": {"major": 2, "minor": 16, "revision": -1},
                            "probe_ack": true}})");
  Reply reply;
  HandleRequest(state, Request(0x11), &reply);
  EXPECT_EQ(MakeFrame(0x12, {37, 2, 16, 0xFF, '5', '5', '5', '1', 0}), reply.frame);
}

TEST(ControllerHandlersTest, RequestsOutsideASessionAreRefused) {
  SimState state;
  Reply reply;
  for (uint8_t type : {0x11, 0x13, 0x10, 0x04}) {
    HandleRequest(state, Request(type), &reply);
    EXPECT_EQ(NakFrame(), reply.frame) << int(type);
  }
}

TEST(ControllerHandlersTest, StatusReplyLengthAndAreaModesFollowTheModel) {
  SimState state;
  state.scenario = Parse(R"({"controller": {"model": 2, "probe_ack": true},
    "objects": {"areas": [{"number": 1, "mode": 3}, {"number": 2}]},
    "status": {"time": "2081-01-02 03:04:05", "daylight_saving": true, "battery": 99,
               "sunrise": "05:06", "sunset": "19:08"}})");
  Reply reply;
  HandleRequest(state, Request(0x13), &reply);
  // Model index 0: 5A 11 14, 14 status bytes and two area modes.
  ASSERT_EQ(0x11 + 4u, reply.frame.size());
  EXPECT_EQ(0x14, reply.frame[2]);
  EXPECT_EQ((Bytes{1, 81, 1, 2, 4, 3, 4, 5, 1, 5, 6, 19, 8, 99, 3, 0}),
            Bytes(reply.frame.begin() + 3, reply.frame.end() - 2));
  EXPECT_TRUE(FrameCrcMatches(reply.frame.data()));
  const std::pair<int, uint8_t> lengths[] = {{4, 0x1F},  {9, 0x10},  {16, 0x27},
                                             {36, 0x10}, {37, 0x20}, {30, 0x11}};
  for (auto [code, length] : lengths) {
    state.scenario.model = code;
    HandleRequest(state, Request(0x13), &reply);
    EXPECT_EQ(length, reply.frame[1]) << code;
  }
}

TEST(ControllerHandlersTest, SetTimeIsRecordedAndRunsTheClock) {
  SimState state;
  state.scenario.probe_ack = true;
  Reply reply;
  HandleRequest(state, Request(0x10, {26, 12, 6, 7, 23, 59, 0}), &reply);
  EXPECT_EQ(AckFrame(), reply.frame);
  ASSERT_EQ(1u, state.set_times.size());
  EXPECT_EQ((SetTimeRecord{26, 12, 6, 7, 23, 59, 0}), state.set_times[0]);
  HandleRequest(state, Request(0x13), &reply);
  EXPECT_EQ(26, reply.frame[4]);
  EXPECT_EQ(23, reply.frame[8]);
  EXPECT_EQ(59, reply.frame[9]);
  HandleRequest(state, Request(0x10, {26, 12, 6}), &reply);  // too short
  EXPECT_EQ(NakFrame(), reply.frame);
  EXPECT_EQ(1u, state.set_times.size());
}

TEST(ControllerHandlersTest, SetupUploadInBlocks) {
  SimState state;
  state.scenario = Parse(R"({"controller": {"probe_ack": true},
    "setup": {"size": 24, "raw": "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18",
              "block_size": 10}})");
  Reply reply;
  HandleRequest(state, Request(0x04), &reply);
  EXPECT_EQ(MakeFrame(0x04, {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), reply.frame);
  HandleRequest(state, Request(MSG_ACK), &reply);
  EXPECT_EQ(0x0C + 1, reply.frame[1]);  // block 1: header and 10 bytes
  EXPECT_EQ(1, reply.frame[4]);
  HandleRequest(state, Request(MSG_ACK), &reply);
  EXPECT_EQ(MakeFrame(0x04, {0, 2, 21, 22, 23, 24}), reply.frame);
  HandleRequest(state, Request(MSG_ACK), &reply);
  EXPECT_EQ(MakeFrame(0x03, {}), reply.frame);
  EXPECT_EQ(3u, state.setup_blocks_sent);
  // Over: an acknowledge is the probe again.
  HandleRequest(state, Request(MSG_ACK), &reply);
  EXPECT_EQ(AckFrame(), reply.frame);
}

TEST(ControllerHandlersTest, OtherRequestEndsTheUpload) {
  SimState state;
  state.scenario = Parse(R"({"controller": {"probe_ack": true},
                            "setup": {"size": 30, "block_size": 10}})");
  Reply reply;
  HandleRequest(state, Request(0x04), &reply);
  HandleRequest(state, Request(0x11), &reply);
  EXPECT_EQ(0x12, reply.frame[2]);
  EXPECT_FALSE(state.setup_upload.active);
  HandleRequest(state, Request(MSG_ACK), &reply);
  EXPECT_EQ(AckFrame(), reply.frame);
}

TEST(CivilTimeTest, RoundTripsAndWeekdays) {
  std::tm t{};
  t.tm_year = 2081 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 30;
  std::tm later = CivilFromSeconds(CivilSeconds(t) + 45);  // past midnight
  EXPECT_EQ(3, later.tm_mday);
  EXPECT_EQ(0, later.tm_hour);
  EXPECT_EQ(15, later.tm_sec);
  EXPECT_EQ(5, later.tm_wday);  // 3 January 2081 is a Friday
  std::tm leap = CivilFromSeconds(DaysFromCivil(2024, 2, 29) * 86400);
  EXPECT_EQ(1, leap.tm_mon);
  EXPECT_EQ(29, leap.tm_mday);
  EXPECT_EQ(4, leap.tm_wday);  // a Thursday
  EXPECT_EQ(4, CivilFromSeconds(0).tm_wday);  // 1 January 1970, a Thursday
}

}  // namespace
}  // namespace zel::sim
