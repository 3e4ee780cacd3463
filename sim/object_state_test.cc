// The simulator's zones and units: status replies for one object and for ranges, one- and
// two-byte numbers, unknown objects, and what each command changes for the next poll.
#include "sim/object_state.h"

#include <gtest/gtest.h>

namespace zel::sim {
namespace {

class ObjectStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, ParseScenario(R"({
      "controller": {"model": 30, "probe_ack": true},
      "objects": {
        "zones": [{"number": 1, "area": 1, "status": 3, "loop": 200},
                  {"number": 2, "area": 2, "status": 16},
                  {"number": 3, "area": 2, "status": 17, "loop": 9}],
        "units": [{"number": 5, "status": 1, "time_remaining": 3725},
                  {"number": 6, "area": 2},
                  {"number": 300, "status": 150},
                  {"number": 80, "status": 255}],
        "areas": [{"number": 1, "mode": 0}, {"number": 2, "mode": 3}]
      }})",
                                  &state_.scenario, nullptr));
    std::string error;
    ASSERT_EQ(S_OK, ParseStatusSection(state_.scenario.document, &state_.scenario.status, &error))
        << error;
  }

  Bytes Ask(uint8_t type, const Bytes& data) {
    RequestFrame request{MakeFrame(type, data), true};
    Reply reply;
    HandleRequest(state_, request, &reply);
    return reply.frame;
  }
  void Command(uint8_t command, uint8_t p1, uint16_t p2) {
    ASSERT_EQ(AckFrame(), Ask(0x0F, {command, p1, static_cast<uint8_t>(p2 >> 8),
                                     static_cast<uint8_t>(p2 & 0xFF)}));
  }
  uint8_t UnitStatus(uint16_t n) { return Objects(state_).units.at(n).status; }
  uint8_t ZoneStatus(uint16_t n) { return Objects(state_).zones.at(n).status; }

  SimState state_;
};

TEST_F(ObjectStateTest, ZoneStatusForOneZoneAndARange) {
  EXPECT_EQ(MakeFrame(0x16, {3, 200}), Ask(0x15, {1, 1}));
  EXPECT_EQ(MakeFrame(0x16, {16, 0, 17, 9}), Ask(0x15, {2, 3}));
  EXPECT_EQ(MakeFrame(0x16, {3, 200}), Ask(0x15, {0, 1, 0, 1}));
  // A range holding an unknown zone, a reversed range and a malformed request.
  EXPECT_EQ(NakFrame(), Ask(0x15, {3, 4}));
  EXPECT_EQ(NakFrame(), Ask(0x15, {3, 2}));
  EXPECT_EQ(NakFrame(), Ask(0x15, {1}));
}

TEST_F(ObjectStateTest, UnitStatusWithOneAndTwoByteNumbers) {
  EXPECT_EQ(MakeFrame(0x18, {1, 0x0E, 0x8D}), Ask(0x17, {5, 5}));
  EXPECT_EQ(MakeFrame(0x18, {150, 0, 0}), Ask(0x17, {0x01, 0x2C, 0x01, 0x2C}));
  EXPECT_EQ(NakFrame(), Ask(0x17, {7, 7}));
}

TEST_F(ObjectStateTest, StatusNeedsASession) {
  state_.scenario.probe_ack = false;
  EXPECT_EQ(NakFrame(), Ask(0x15, {1, 1}));
}

TEST_F(ObjectStateTest, UnitCommandsChangeTheStatus) {
  Command(0, 0, 5);
  EXPECT_EQ(MakeFrame(0x18, {0, 0, 0}), Ask(0x17, {5, 5}));
  Command(1, 30, 5);
  EXPECT_EQ(MakeFrame(0x18, {1, 0, 30}), Ask(0x17, {5, 5}));
  Command(9, 150, 5);
  EXPECT_EQ(200, UnitStatus(5));
  Command(0x19, 0, 5);
  EXPECT_EQ(25, UnitStatus(5));
  Command(0x21, 0, 5);
  EXPECT_EQ(33, UnitStatus(5));
  Command(13, 3, 100 * 512 + 300);  // ramp unit 300 to 100 %
  EXPECT_EQ(MakeFrame(0x18, {200, 0, 3}), Ask(0x17, {0x01, 0x2C, 0x01, 0x2C}));
  // Counters saturate.
  Command(11, 0, 80);
  EXPECT_EQ(255, UnitStatus(80));
  Command(12, 1, 80);
  Command(10, 0, 80);
  Command(10, 0, 80);
  EXPECT_EQ(0, UnitStatus(80));
  // All on in area 2 reaches unit 6 only.
  Command(0, 0, 5);
  Command(3, 0, 2);
  EXPECT_EQ(1, UnitStatus(6));
  EXPECT_EQ(0, UnitStatus(5));
  Command(2, 0, 0);
  EXPECT_EQ(0, UnitStatus(6));
  // An unknown unit changes nothing.
  Command(1, 0, 99);
  EXPECT_EQ(0u, Objects(state_).units.count(99));
}

TEST_F(ObjectStateTest, ZoneCommandsChangeTheArmingBits) {
  Command(4, 1, 1);
  EXPECT_EQ(MakeFrame(0x16, {0x13, 200}), Ask(0x15, {1, 1}));
  Command(5, 1, 1);
  EXPECT_EQ(0x03, ZoneStatus(1));
  Command(4, 1, 1);
  Command(6, 1, 2);  // restore area 2's zones only
  EXPECT_EQ(0x13, ZoneStatus(1));
  EXPECT_EQ(0x00, ZoneStatus(2));
  EXPECT_EQ(0x01, ZoneStatus(3));
  Command(6, 1, 0);
  EXPECT_EQ(0x03, ZoneStatus(1));
}

TEST_F(ObjectStateTest, AreaCommandsSetTheModeBytes) {
  ASSERT_EQ((std::vector<uint8_t>{0, 3}), state_.scenario.status.area_modes);
  Command(0x35, 1, 1);
  EXPECT_EQ((std::vector<uint8_t>{5, 3}), state_.scenario.status.area_modes);
  Command(0x30, 1, 2);
  EXPECT_EQ((std::vector<uint8_t>{5, 0}), state_.scenario.status.area_modes);
  Command(0x33, 1, 0);
  EXPECT_EQ((std::vector<uint8_t>{3, 3}), state_.scenario.status.area_modes);
  // The system status reply carries them at data bytes 14 and 15 on this model.
  Bytes reply = Ask(0x13, {});
  ASSERT_EQ(0x11, reply[1]);
  EXPECT_EQ(3, reply[3 + 14]);
  EXPECT_EQ(3, reply[3 + 15]);
  // Every command is still recorded.
  EXPECT_EQ(3u, state_.commands.size());
}

}  // namespace
}  // namespace zel::sim
