// The simulator's objects: status replies for one object and for ranges, one- and two-byte
// numbers, unknown objects, the message status and metadata walk, and what each command changes
// for the next poll.
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
        "areas": [{"number": 1, "mode": 0}, {"number": 2, "mode": 3}],
        "thermostats": [{"number": 1, "status": 1, "temperature": 124, "heat_setpoint": 120,
                         "cool_setpoint": 140, "system_mode": 1, "fan_mode": 2,
                         "hold_mode": 3},
                        {"number": 2}],
        "temperature_sensors": [{"number": 1, "temperature": 106, "heat_setpoint": 100}],
        "messages": [{"number": 1, "displayed": true}, {"number": 2, "acknowledged": false},
                     {"number": 5, "displayed": true, "acknowledged": false},
                     {"number": 64, "displayed": true}, {"number": 65, "displayed": true},
                     {"number": 3, "displayed": "yes"}],
        "audio_zones": [{"number": 1, "power": 1, "source": 2, "volume": 35},
                        {"number": 2}],
        "audio_sources": [{"number": 1, "song_title": "SONG", "artist": "ARTIST",
                           "channel_name": "FM", "extra": "X", "genre": 7},
                          {"number": 2}]
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

TEST_F(ObjectStateTest, ThermostatAndSensorStatusAndTheirCommands) {
  EXPECT_EQ(MakeFrame(0x1F, {1, 124, 120, 140, 1, 2, 3}), Ask(0x1E, {1, 1}));
  EXPECT_EQ(MakeFrame(0x1F, {1, 124, 120, 140, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0}),
            Ask(0x1E, {0, 1, 0, 2}));
  EXPECT_EQ(NakFrame(), Ask(0x1E, {3, 3}));
  EXPECT_EQ(MakeFrame(0x1A, {0, 106, 100, 0}), Ask(0x19, {1, 1}));
  EXPECT_EQ(NakFrame(), Ask(0x19, {2, 2}));
  // Setpoints reach the thermostat and the sensor of the number; modes the thermostat.
  Command(0x42, 130, 1);
  Command(0x43, 150, 1);
  Command(0x44, 3, 1);
  Command(0x45, 0, 1);
  Command(0x46, 1, 1);
  EXPECT_EQ(MakeFrame(0x1F, {1, 124, 130, 150, 3, 0, 1}), Ask(0x1E, {1, 1}));
  EXPECT_EQ(MakeFrame(0x1A, {0, 106, 130, 150}), Ask(0x19, {1, 1}));
  Command(0x41, 5, 1);
  EXPECT_TRUE(Objects(state_).sensors.at(1).output_on);
  Command(0x40, 0, 1);
  EXPECT_FALSE(Objects(state_).sensors.at(1).output_on);
}

TEST_F(ObjectStateTest, MessageStatusBitsAndCommands) {
  // Model 30 (index 7): 17 data bytes, messages 1 to 64.
  Bytes data(17, 0);
  data[1] = 0x60;   // 1: displayed (01), 2: not acknowledged (10), 3 and 4: 00
  data[2] = 0xC0;   // 5: displayed, not acknowledged (11)
  data[16] = 0x01;  // 64: displayed; 65 lies beyond the reply
  EXPECT_EQ(MakeFrame(0x25, data), Ask(0x24, {}));
  EXPECT_EQ(NakFrame(), Ask(0x24, {1}));
  Command(0x50, 0, 3);
  Command(0x52, 0, 1);
  Bytes reply = Ask(0x24, {});
  EXPECT_EQ(0x2C, reply[4]) << "1 cleared; 3 shown: displayed, not acknowledged";
  Command(0x52, 0, 0);
  reply = Ask(0x24, {});
  EXPECT_EQ(MakeFrame(0x25, Bytes(17, 0)), reply) << "every message cleared";
  // Models without message status refuse the request.
  state_.scenario.model = 2;
  EXPECT_EQ(NakFrame(), Ask(0x24, {}));
  state_.scenario.model = 16;
  EXPECT_EQ(0x22, Ask(0x24, {})[1]);
}

TEST_F(ObjectStateTest, AudioZoneStatusAndCommands) {
  EXPECT_EQ(MakeFrame(0x32, {1, 2, 35, 0, 0, 1, 0, 0}), Ask(0x31, {1, 2}));
  EXPECT_EQ(NakFrame(), Ask(0x31, {3, 3}));
  Command(0x70, 3, 1);   // mute on
  Command(0x71, 60, 1);  // volume
  Command(0x72, 1, 1);   // source
  Command(0x70, 0, 1);   // power off
  EXPECT_EQ(MakeFrame(0x32, {0, 1, 60, 1}), Ask(0x31, {1, 1}));
  Command(0x70, 1, 0);  // every zone on
  EXPECT_EQ(MakeFrame(0x32, {1, 1, 60, 1, 1, 1, 0, 0}), Ask(0x31, {1, 2}));
}

TEST_F(ObjectStateTest, MetadataWalkOneRecordPerAcknowledge) {
  auto record = [](uint8_t code, const std::string& text) {
    Bytes data = {code};
    data.insert(data.end(), text.begin(), text.end());
    return MakeFrame(0x34, data);
  };
  // Field-code order; a text that is not a string is left out.
  EXPECT_EQ(record(1, "SONG"), Ask(0x33, {1}));
  EXPECT_EQ(record(2, "ARTIST"), Ask(0x05, {}));
  EXPECT_EQ(record(5, "X"), Ask(0x05, {}));
  EXPECT_EQ(record(7, "FM"), Ask(0x05, {}));
  EXPECT_EQ(MakeFrame(0x03, {}), Ask(0x05, {}));
  // A source without texts ends at once; an unknown source is refused.
  EXPECT_EQ(MakeFrame(0x03, {}), Ask(0x33, {2}));
  EXPECT_EQ(NakFrame(), Ask(0x33, {3}));
  // Another request ends a walk.
  EXPECT_EQ(record(1, "SONG"), Ask(0x33, {1}));
  EXPECT_EQ(MakeFrame(0x32, {1, 2, 35, 0}), Ask(0x31, {1, 1}));
  EXPECT_FALSE(state_.metadata_walk.active);
}

}  // namespace
}  // namespace zel::sim
