#include <gtest/gtest.h>

#include <deque>

#include "link/frame.h"
#include "sim/event_log.h"
#include "sim/faults.h"
#include "sim/frames.h"
#include "sim/handlers.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "zel_source_dir.h"

namespace zel::sim {
namespace {

using nlohmann::json;

TEST(ScenarioTest, ShippedHouse) {
  Scenario s;
  std::string error;
  ASSERT_EQ(S_OK,
            LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json", &s, &error))
      << error;
  EXPECT_EQ(30, s.model);
  EXPECT_EQ(3, s.firmware.major);
  EXPECT_EQ(2, s.firmware.minor);
  EXPECT_EQ("1234", s.access_code);
  EXPECT_FALSE(s.probe_ack);
  // Later sections stay available to the handlers that read them.
  EXPECT_EQ(6u, s.document["objects"]["zones"].size());
}

TEST(ScenarioTest, DefaultsAndUnknownSections) {
  Scenario s;
  ASSERT_EQ(S_OK, ParseScenario(R"({"weather": {"rain": true}})", &s, nullptr));
  EXPECT_EQ(30, s.model);
  EXPECT_EQ("1234", s.access_code);
  ASSERT_EQ(S_OK, ParseScenario(
                      R"({"controller": {"model": 37, "probe_ack": true,
                          "firmware": {"major": 2, "minor": 16, "revision": -2}}})",
                      &s, nullptr));
  EXPECT_EQ(37, s.model);
  EXPECT_TRUE(s.probe_ack);
  EXPECT_EQ(-2, s.firmware.revision);
}

TEST(ScenarioTest, RefusedScenarios) {
  Scenario s;
  s.model = 99;
  std::string error;
  for (const char* text : {
           "not json",
           "[1, 2]",
           R"({"controller": 5})",
           R"({"controller": {"access_code": "123"}})",
           R"({"controller": {"access_code": "12a4"}})",
           R"({"controller": {"model": 256}})",
           R"({"controller": {"model": "30"}})",
           R"({"controller": {"probe_ack": 1}})",
           R"({"controller": {"firmware": {"revision": 200}}})",
       }) {
    error.clear();
    EXPECT_EQ(E_INVALIDARG, ParseScenario(text, &s, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_EQ(99, s.model);  // a refused scenario leaves the output alone
  EXPECT_EQ(HresultFromErrno(ENOENT), LoadScenarioFile("/nonexistent/house.json", &s, &error));
}

// The phone number travels in one reply frame: the longest that fits loads and is answered with
// a whole frame; one character more is refused (it made a frame whose length byte wrapped).
TEST(ScenarioTest, PhoneNumberFitsOneFrame) {
  for (size_t length : {kMaxPhoneNumber, kMaxPhoneNumber + 1}) {
    SCOPED_TRACE(length);
    std::string text = R"({"controller": {"phone_number": ")" + std::string(length, '5') + R"("}})";
    Scenario s;
    std::string error;
    HRESULT hr = ParseScenario(text, &s, &error);
    if (length > kMaxPhoneNumber) {
      EXPECT_EQ(E_INVALIDARG, hr);
      EXPECT_NE(std::string::npos, error.find("phone_number")) << error;
      continue;
    }
    ASSERT_EQ(S_OK, hr) << error;
    SimState state;
    state.scenario = s;
    state.logged_in = true;
    RequestFrame request{MakeFrame(0x11, {}), true};
    Reply reply;
    HandleRequest(state, request, &reply);
    ASSERT_EQ(size_t{reply.frame[1]} + kFrameOverhead, reply.frame.size());
    EXPECT_EQ(255, reply.frame[1]);
    EXPECT_TRUE(FrameCrcMatches(reply.frame.data()));
  }
}

TEST(RequestReaderTest, SplitsResynchronisesAndFlagsBadCrc) {
  RequestReader reader;
  std::vector<RequestFrame> frames;
  Bytes stream = {0x00, 0x13};  // noise before the first start byte
  Bytes probe = AckFrame();
  Bytes bad = MakeFrame(0x0F, {1, 2, 3, 4});
  bad[5] ^= 0x40;
  stream.insert(stream.end(), probe.begin(), probe.end());
  stream.insert(stream.end(), {0x5A, 0x00});  // a length of 0 is no frame
  stream.insert(stream.end(), bad.begin(), bad.end());
  // Fed in two pieces that split the bad frame.
  reader.Feed(stream.data(), 10, &frames);
  EXPECT_TRUE(reader.partial());
  reader.Feed(stream.data() + 10, stream.size() - 10, &frames);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(probe, frames[0].raw);
  EXPECT_TRUE(frames[0].crc_ok);
  EXPECT_EQ(bad, frames[1].raw);
  EXPECT_FALSE(frames[1].crc_ok);
  EXPECT_FALSE(reader.partial());
}

class HandlerTest : public ::testing::Test {
 protected:
  Bytes Send(const Bytes& frame) {
    RequestFrame request;
    request.raw = frame;
    request.crc_ok = true;
    Reply reply;
    HandleRequest(state_, request, &reply);
    EXPECT_TRUE(reply.send);
    return reply.frame;
  }
  SimState state_;
};

TEST_F(HandlerTest, LoginOpensTheSession) {
  Bytes probe = AckFrame();
  Bytes command = MakeFrame(MSG_COMMAND, {1, 2, 0, 3});
  EXPECT_EQ(NakFrame(), Send(probe));
  EXPECT_EQ(NakFrame(), Send(command));
  EXPECT_EQ(NakFrame(), Send(MakeFrame(MSG_LOGIN, {4, 3, 2, 1})));
  EXPECT_EQ(NakFrame(), Send(MakeFrame(MSG_LOGIN, {1, 2, 3})));
  EXPECT_FALSE(state_.logged_in);
  EXPECT_EQ(AckFrame(), Send(MakeFrame(MSG_LOGIN, {1, 2, 3, 4})));
  EXPECT_EQ(AckFrame(), Send(probe));
  EXPECT_EQ(AckFrame(), Send(command));
  EXPECT_EQ((std::vector<CommandRecord>{{1, 2, 3}}), state_.commands);
  EXPECT_EQ(AckFrame(), Send(Bytes(kLogoutFrame.begin(), kLogoutFrame.end())));
  EXPECT_EQ(NakFrame(), Send(probe));
}

TEST_F(HandlerTest, ProbeAckScenarioNeedsNoLogin) {
  state_.scenario.probe_ack = true;
  EXPECT_EQ(AckFrame(), Send(AckFrame()));
  EXPECT_EQ(AckFrame(), Send(MakeFrame(MSG_COMMAND, {9, 1, 0xAB, 0xCD})));
  EXPECT_EQ((std::vector<CommandRecord>{{9, 1, 0xABCD}}), state_.commands);
  // Malformed commands and unknown types are refused.
  EXPECT_EQ(NakFrame(), Send(MakeFrame(MSG_COMMAND, {9, 1, 0xAB})));
  EXPECT_EQ(NakFrame(), Send(MakeFrame(0x7E, {})));
  EXPECT_EQ(1u, state_.commands.size());
}

TEST_F(HandlerTest, LogWalkNewestFirstThenEndOfData) {
  state_.scenario.probe_ack = true;
  state_.scenario.document = json::parse(R"({"log": [
      {"type": 49, "parameter1": 1, "parameter2": 1, "month": 12, "day": 5, "hour": 22,
       "minute": 10},
      {"type": 131}]})");
  Bytes request = MakeFrame(kEventLogRequest, {});
  Bytes newest = MakeFrame(kEventLogRecord, {0, 1, 12, 5, 22, 10, 49, 1, 0, 1, 0});
  Bytes oldest = MakeFrame(kEventLogRecord, {0, 0, 0, 1, 0, 0, 131, 0, 0, 0, 0});
  EXPECT_EQ(newest, Send(request));
  EXPECT_EQ(oldest, Send(AckFrame()));
  EXPECT_EQ(MakeFrame(kEndOfData, {}), Send(AckFrame()));
  // After the walk an acknowledge is the probe again; a new request starts at the newest.
  EXPECT_EQ(AckFrame(), Send(AckFrame()));
  EXPECT_EQ(newest, Send(request));
  // Any other request ends the walk.
  EXPECT_EQ(NakFrame(), Send(MakeFrame(0x7E, {})));
  EXPECT_EQ(AckFrame(), Send(AckFrame()));
  EXPECT_EQ(NakFrame(), Send(MakeFrame(kEventLogRequest, {1})));
}

TEST_F(HandlerTest, RecordsLoggedOrRolledDuringAWalkDoNotMoveIt) {
  state_.scenario.probe_ack = true;
  Bytes r1, r2, r3, r4;
  std::string error;
  ASSERT_EQ(S_OK, EventRecordFrame(json{{"type", 48}}, &r1, &error));
  ASSERT_EQ(S_OK, EventRecordFrame(json{{"type", 49}}, &r2, &error));
  ASSERT_EQ(S_OK, EventRecordFrame(json{{"type", 50}}, &r3, &error));
  ASSERT_EQ(S_OK, EventRecordFrame(json{{"type", 51}}, &r4, &error));
  EXPECT_EQ(MakeFrame(kEndOfData, {}), Send(MakeFrame(kEventLogRequest, {})));
  AppendEventRecord(&state_.event_log, r1);
  AppendEventRecord(&state_.event_log, r2);
  AppendEventRecord(&state_.event_log, r3);
  EXPECT_EQ(r3, Send(MakeFrame(kEventLogRequest, {})));
  AppendEventRecord(&state_.event_log, r4);  // logged while the walk runs
  EXPECT_EQ(r2, Send(AckFrame()));
  RollEventLog(&state_.event_log, 1);  // r1 dropped: the walk ends after r2
  EXPECT_EQ(MakeFrame(kEndOfData, {}), Send(AckFrame()));
  EXPECT_EQ(r4, Send(MakeFrame(kEventLogRequest, {})));
  RollEventLog(&state_.event_log, 10);
  EXPECT_EQ(MakeFrame(kEndOfData, {}), Send(AckFrame()));
}

// A zone's sensor changing: its condition bits change (the arming bits stay) and its system
// event is queued, state 1 for any condition but secure.
TEST(ControlTest, AZoneChangesAndQueuesItsSystemEvent) {
  Scenario scenario;
  std::string error;
  ASSERT_EQ(S_OK, ParseScenario(R"({"objects":{"zones":[{"number":5,"status":16},
                                                         {"number":300,"status":0}]}})",
                                &scenario, &error))
      << error;
  Simulator sim(std::move(scenario));
  EXPECT_EQ(R"({"code":1541,"ok":true,"status":17})",
            sim.ApplyControl(R"({"zone":{"number":5,"condition":1}})"));  // 0x0605
  EXPECT_EQ(R"({"code":1029,"ok":true,"status":16})",
            sim.ApplyControl(R"({"zone":{"number":5,"condition":0}})"));  // 0x0405
  EXPECT_EQ(R"({"code":1836,"ok":true,"status":2})",
            sim.ApplyControl(R"({"zone":{"number":300,"condition":2}})"));  // 0x072C
  sim.WithState([](SimState& state) {
    EXPECT_EQ((std::deque<uint16_t>{0x0605, 0x0405, 0x072C}), state.system_events.codes);
  });
  for (const char* bad :
       {R"({"zone":5})", R"({"zone":{"number":6,"condition":1}})",
        R"({"zone":{"number":0,"condition":1}})", R"({"zone":{"number":5,"condition":4}})",
        R"({"zone":{"number":5}})", R"({"zone":{"number":-5,"condition":1}})"}) {
    EXPECT_NE(std::string::npos, sim.ApplyControl(bad).find("\"ok\":false")) << bad;
  }
}

TEST(ControlTest, LogEventsAndRollTheLogOver) {
  Simulator sim;
  EXPECT_EQ(R"({"ok":true,"records":1})",
            sim.ApplyControl(R"({"log_event":{"type":50,"parameter2":1,"month":3,"day":4}})"));
  EXPECT_EQ(R"({"ok":true,"records":2})", sim.ApplyControl(R"({"log_event":{"type":4}})"));
  EXPECT_EQ(R"({"log":["5A 0C 0E 00 00 00 01 00 00 04 00 00 00 00 C8 17",)"
            R"("5A 0C 0E 00 01 03 04 00 00 32 00 00 01 00 84 89"],"ok":true})",
            sim.ApplyControl(R"({"query":"log"})"));
  EXPECT_EQ(R"({"ok":true,"records":1})", sim.ApplyControl(R"({"roll_log":1})"));
  for (const char* bad :
       {R"({"log_event":5})", R"({"log_event":{}})", R"({"log_event":{"type":256}})",
        R"({"log_event":{"type":1,"day":-1}})", R"({"roll_log":-1})", R"({"roll_log":"all"})"}) {
    EXPECT_NE(std::string::npos, sim.ApplyControl(bad).find("\"ok\":false")) << bad;
  }
}

// The queue from the scenario, codes added at run time, one frame's worth per request.
TEST_F(HandlerTest, SystemEventsComeFromTheQueueInOrder) {
  std::string error;
  ASSERT_EQ(S_OK, ParseScenario(R"({"controller":{"probe_ack":true},
      "system_events":{"queue":[1029,"0x0213","fc01"],"per_reply":2}})",
                                &state_.scenario, &error))
      << error;
  const Bytes request = MakeFrame(kSystemEventsRequest, {});
  EXPECT_EQ(MakeFrame(kSystemEventsReply, {0x04, 0x05, 0x02, 0x13}), Send(request));
  EXPECT_EQ(MakeFrame(kSystemEventsReply, {0xFC, 0x01}), Send(request));
  EXPECT_EQ(MakeFrame(kSystemEventsReply, {}), Send(request));
  EXPECT_EQ(NakFrame(), Send(MakeFrame(kSystemEventsRequest, {1})));
  EXPECT_EQ(3u, state_.system_events.sent);
  // At most one frame's worth (127 codes) per reply.
  state_.system_events.per_reply = kMaxCodesPerReply;
  state_.system_events.codes.assign(200, 0x0300);
  EXPECT_EQ(5u + 2 * 127, Send(request).size());
  EXPECT_EQ(73u, state_.system_events.codes.size());
  // Outside a session: refused.
  state_.scenario.probe_ack = false;
  EXPECT_EQ(NakFrame(), Send(request));
}

TEST(ScenarioTest, RefusedSystemEventSections) {
  for (const char* bad :
       {R"({"system_events":[1]})", R"({"system_events":{"queue":[65536]}})",
        R"({"system_events":{"queue":["0x12345"]}})", R"({"system_events":{"queue":[-1]}})",
        R"({"system_events":{"queue":["zz"]}})", R"({"system_events":{"queue":5}})",
        R"({"system_events":{"per_reply":0}})", R"({"system_events":{"per_reply":128}})"}) {
    Scenario s;
    std::string error;
    EXPECT_EQ(E_INVALIDARG, ParseScenario(bad, &s, &error)) << bad;
    EXPECT_NE(std::string::npos, error.find("system")) << bad << ": " << error;
  }
}

TEST(ControlTest, SystemEventsAreQueuedAtRunTime) {
  Simulator sim;
  EXPECT_EQ(R"({"ok":true,"queued":2})", sim.ApplyControl(R"({"system_events":[1029,"0213"]})"));
  EXPECT_EQ(R"({"ok":true,"queued":3})", sim.ApplyControl(R"({"system_events":[768]})"));
  // A list with one bad code queues nothing.
  EXPECT_NE(std::string::npos,
            sim.ApplyControl(R"({"system_events":[1,"x"]})").find("\"ok\":false"));
  sim.WithState([](SimState& s) {
    EXPECT_EQ((std::deque<uint16_t>{0x0405, 0x0213, 0x0300}), s.system_events.codes);
  });
}

Fault ParseOk(const char* text) {
  Fault f;
  std::string error;
  EXPECT_EQ(S_OK, ParseFault(json::parse(text), &f, &error)) << error;
  return f;
}

TEST(FaultTest, ParseRefusals) {
  Fault f;
  std::string error;
  for (const char* text :
       {R"({"fault":"melt"})", R"({"count":1})", R"({"fault":"no_reply","count":0})",
        R"({"fault":"garbage","bytes":[256]})", R"({"fault":"chunked","chunks":[]})",
        R"({"fault":"chunked","chunks":[0]})", R"({"fault":"delay","ms":-5})"}) {
    EXPECT_EQ(E_INVALIDARG, ParseFault(json::parse(text), &f, &error)) << text;
  }
}

TEST(FaultTest, PlansForEachFault) {
  Bytes ack = AckFrame();
  FaultSet set;
  set.Add(ParseOk(R"({"fault":"no_reply"})"));
  EXPECT_FALSE(set.Apply(ack, true).send);
  EXPECT_EQ(0u, set.size());  // used up
  WirePlan plain = set.Apply(ack, true);
  ASSERT_EQ(1u, plain.pieces.size());
  EXPECT_EQ(ack, plain.pieces[0].bytes);

  set.Add(ParseOk(R"({"fault":"corrupt_crc"})"));
  set.Add(ParseOk(R"({"fault":"garbage","bytes":[1,2]})"));
  WirePlan both = set.Apply(ack, true);
  EXPECT_EQ((Bytes{0x01, 0x02, 0x5A, 0x01, 0x05, 0xC1, 0x6C}), both.pieces[0].bytes);

  set.Add(ParseOk(R"({"fault":"bad_start"})"));
  EXPECT_EQ(0xA5, set.Apply(ack, true).pieces[0].bytes[0]);

  set.Add(ParseOk(R"({"fault":"truncate","truncate_to":2})"));
  EXPECT_EQ((Bytes{0x5A, 0x01}), set.Apply(ack, true).pieces[0].bytes);
}

TEST(FaultTest, ChunksPausesAndDelay) {
  FaultSet set;
  set.Add(ParseOk(R"({"fault":"chunked","chunks":[1,2],"pause_ms":7})"));
  set.Add(ParseOk(R"({"fault":"delay","ms":30})"));
  Bytes nine = MakeFrame(0x30, {1, 2, 3, 4});
  WirePlan plan = set.Apply(nine, true);
  // 1, 2, then the last size repeats: 1 + 2 + 2 + 2 + 2 = 9.
  ASSERT_EQ(5u, plan.pieces.size());
  EXPECT_EQ(30, plan.pieces[0].pause_ms);
  EXPECT_EQ(1u, plan.pieces[0].bytes.size());
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(7, plan.pieces[i].pause_ms);
    EXPECT_EQ(2u, plan.pieces[i].bytes.size());
  }
  Bytes joined;
  for (const WirePiece& p : plan.pieces)
    joined.insert(joined.end(), p.bytes.begin(), p.bytes.end());
  EXPECT_EQ(nine, joined);
}

TEST(FaultTest, CountsAndPersistentFaults) {
  FaultSet set;
  set.Add(ParseOk(R"({"fault":"corrupt_crc","count":2})"));
  set.Add(ParseOk(R"({"fault":"raw_reply","bytes":[90,1,6,129,146],"count":-1})"));
  Bytes ack = AckFrame();
  EXPECT_EQ(0x6D, set.Apply(ack, true).pieces[0].bytes[4]);  // NAK with its CRC high byte inverted
  EXPECT_EQ(0x6D, set.Apply(ack, true).pieces[0].bytes[4]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(NakFrame(), set.Apply(ack, true).pieces[0].bytes);
  // A raw reply is sent even where the handler would stay silent.
  EXPECT_TRUE(set.Apply(ack, false).send);
  set.Clear();
  EXPECT_EQ(ack, set.Apply(ack, true).pieces[0].bytes);
}

TEST(FaultTest, SkipLetsRepliesThroughFirst) {
  FaultSet set;
  set.Add(ParseOk(R"({"fault":"no_reply","skip":2})"));
  Bytes ack = AckFrame();
  EXPECT_TRUE(set.Apply(ack, true).send);
  EXPECT_TRUE(set.Apply(ack, true).send);
  EXPECT_FALSE(set.Apply(ack, true).send);
  EXPECT_TRUE(set.Apply(ack, true).send);
  EXPECT_EQ(0u, set.size());
  Fault f;
  std::string error;
  EXPECT_EQ(E_INVALIDARG, ParseFault(json::parse(R"({"fault":"no_reply","skip":-1})"), &f, &error));
}

TEST(FaultTest, DatagramFaultsActOnDatagramsOnly) {
  FaultSet set;
  set.Add(ParseOk(R"({"fault":"lose_request","count":2})"));
  set.Add(ParseOk(R"({"fault":"previous_sequence"})"));
  set.Add(ParseOk(R"({"fault":"no_reply"})"));
  // A reply frame uses up the reply fault only.
  EXPECT_FALSE(set.Apply(AckFrame(), true).send);
  EXPECT_EQ(2u, set.size());
  DatagramPlan first = set.ApplyDatagram();
  EXPECT_TRUE(first.lose_request);
  EXPECT_TRUE(first.previous_sequence);
  EXPECT_FALSE(first.wrong_type);
  DatagramPlan second = set.ApplyDatagram();
  EXPECT_TRUE(second.lose_request);
  EXPECT_FALSE(second.previous_sequence);
  EXPECT_FALSE(set.ApplyDatagram().lose_request);
  EXPECT_EQ(0u, set.size());
  set.Add(ParseOk(R"({"fault":"wrong_type","count":-1})"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(set.ApplyDatagram().wrong_type);
  EXPECT_TRUE(set.Apply(AckFrame(), true).send);
}

// Each UDP fault acts on its own part of the answer, and waits out its skip on datagrams only.
TEST(FaultTest, EachDatagramFaultHasItsOwnEffect) {
  struct Row {
    const char* name;
    bool DatagramPlan::*effect;
  };
  const Row rows[] = {
      {"lose_request", &DatagramPlan::lose_request},
      {"previous_sequence", &DatagramPlan::previous_sequence},
      {"wrong_type", &DatagramPlan::wrong_type},
      {"lose_reply", &DatagramPlan::lose_reply},
      {"stray_sender", &DatagramPlan::stray_sender},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FaultSet set;
    const std::string line = std::string(R"({"fault":")") + row.name + R"(","skip":1})";
    set.Add(ParseOk(line.c_str()));
    // A reply frame neither uses up the skip nor the fault.
    EXPECT_TRUE(set.Apply(AckFrame(), true).send);
    DatagramPlan first = set.ApplyDatagram();
    DatagramPlan second = set.ApplyDatagram();
    for (const Row& other : rows) {
      EXPECT_FALSE(first.*other.effect) << other.name;
      EXPECT_EQ(&other == &row, second.*other.effect) << other.name;
    }
    EXPECT_EQ(0u, set.size());
  }
}

TEST(ControlTest, UdpSessionLines) {
  Simulator sim;
  const std::string key = "00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF";
  EXPECT_EQ(R"({"ok":true})", sim.ApplyControl(R"({"set":{"private_key":")" + key + R"("}})"));
  sim.WithState([&](SimState& s) { EXPECT_EQ(key, FormatPrivateKey(s.scenario.private_key)); });
  // Only a whole key is taken.
  for (const char* bad : {R"({"set":{"private_key":"00-11"}})", R"({"set":{"private_key":7}})",
                          R"({"udp":"reboot"})"}) {
    EXPECT_NE(std::string::npos, sim.ApplyControl(bad).find("\"ok\":false")) << bad;
  }
  sim.WithState([](SimState& s) {
    s.udp.open = s.udp.secure = true;
    s.logged_in = true;
  });
  EXPECT_EQ(R"({"ok":true})", sim.ApplyControl(R"({"udp":"forget_session"})"));
  sim.WithState([](SimState& s) {
    EXPECT_FALSE(s.udp.secure);
    EXPECT_FALSE(s.logged_in);
  });
  EXPECT_EQ(R"({"datagrams":[],"ok":true})", sim.ApplyControl(R"({"query":"datagrams"})"));
}

// A reboot forgets the login, the network session and the walks in progress, and keeps the
// objects, the commands carried out and the faults still to commit.
TEST(ControlTest, RebootForgetsTheSessionAndRestartsWalks) {
  Simulator sim;
  sim.WithState([](SimState& s) {
    s.logged_in = true;
    s.udp.open = s.udp.secure = true;
    s.setup_upload.active = true;
    s.setup_upload.offset = 40;
    s.names_upload.active = true;
    s.names_upload.next = 3;
    s.metadata_walk.active = true;
    s.event_log.walking = true;
    s.objects.units[2].status = 1;
    s.commands.push_back(CommandRecord{1, 0, 2});
  });
  EXPECT_EQ(R"({"ok":true})", sim.ApplyControl(R"({"fault":"no_reply","count":2})"));
  EXPECT_EQ(R"({"ok":true,"reboots":1})", sim.ApplyControl(R"({"reboot":true})"));
  sim.WithState([](SimState& s) {
    EXPECT_FALSE(s.logged_in);
    EXPECT_FALSE(s.udp.open);
    EXPECT_FALSE(s.udp.secure);
    EXPECT_FALSE(s.setup_upload.active);
    EXPECT_EQ(0u, s.setup_upload.offset);
    EXPECT_FALSE(s.names_upload.active);
    EXPECT_EQ(0u, s.names_upload.next);
    EXPECT_FALSE(s.metadata_walk.active);
    EXPECT_FALSE(s.event_log.walking);
    EXPECT_EQ(1, s.objects.units[2].status);
    EXPECT_EQ(1u, s.commands.size());
  });
  EXPECT_NE(std::string::npos, sim.ApplyControl(R"({"query":"state"})").find(R"("faults":1)"));
  EXPECT_EQ(R"({"ok":true,"reboots":2})", sim.ApplyControl(R"({"reboot":true})"));
  EXPECT_NE(std::string::npos, sim.ApplyControl(R"({"reboot":1})").find("\"ok\":false"));
}

TEST(ControlTest, UnitsQueryListsEachUnitsState) {
  // The scenario's units, before any request has read them.
  Scenario scenario;
  std::string error;
  ASSERT_EQ(S_OK,
            ParseScenario(R"({"objects":{"units":[{"number":2,"status":7}]}})", &scenario, &error))
      << error;
  EXPECT_EQ(R"({"ok":true,"units":[{"number":2,"status":7,"time_remaining":0}]})",
            Simulator(scenario).ApplyControl(R"({"query":"units"})"));
  Simulator sim;
  EXPECT_EQ(R"({"ok":true,"units":[]})", sim.ApplyControl(R"({"query":"units"})"));
  sim.WithState([](SimState& s) {
    s.objects.units[3] = SimUnit{.status = 1, .time_remaining = 90};
    s.objects.units[1].status = 105;
  });
  EXPECT_EQ(R"({"ok":true,"units":[{"number":1,"status":105,"time_remaining":0},)"
            R"({"number":3,"status":1,"time_remaining":90}]})",
            sim.ApplyControl(R"({"query":"units"})"));
}

TEST(ScenarioTest, PrivateKeyMustBeWhole) {
  Scenario s;
  std::string error;
  EXPECT_EQ(kSimDefaultPrivateKey, s.private_key);
  ASSERT_EQ(
      S_OK,
      ParseScenario(
          R"({"controller":{"private_key":"01-02-03-04-05-06-07-08-09-0a-0b-0c-0d-0e-0f-10"}})", &s,
          &error))
      << error;
  EXPECT_EQ("01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10", FormatPrivateKey(s.private_key));
  EXPECT_EQ(E_INVALIDARG, ParseScenario(R"({"controller":{"private_key":"01-02"}})", &s, &error));
  EXPECT_NE(std::string::npos, error.find("private_key"));
}

TEST(ControlTest, LinesChangeTheSimulator) {
  Simulator sim;
  EXPECT_EQ(R"({"ok":true})", sim.ApplyControl(R"({"fault":"no_reply","count":3})"));
  EXPECT_EQ(R"({"faults":1,"frames":0,"logged_in":false,"ok":true,"probe_ack":false,)"
            R"("reboots":0,"system_events_queued":0,"system_events_sent":0,"udp_session":false})",
            sim.ApplyControl(R"({"query":"state"})"));
  EXPECT_EQ(R"({"ok":true})", sim.ApplyControl(R"({"clear":"faults"})"));
  EXPECT_EQ(R"({"ok":true})",
            sim.ApplyControl(R"({"set":{"probe_ack":true,"access_code":"4321"}})"));
  // A line with one bad field changes nothing.
  EXPECT_NE(
      std::string::npos,
      sim.ApplyControl(R"({"set":{"probe_ack":false,"access_code":"43"}})").find("\"ok\":false"));
  sim.WithState([](SimState& s) {
    EXPECT_TRUE(s.scenario.probe_ack);
    EXPECT_EQ("4321", s.scenario.access_code);
  });
  for (const char* bad : {"", "{", "[]", R"({"fault":"melt"})", R"({"query":"zones"})",
                          R"({"clear":"everything"})", R"({"set":5})", R"({"hello":1})"}) {
    EXPECT_NE(std::string::npos, sim.ApplyControl(bad).find("\"ok\":false")) << bad;
  }
}

}  // namespace
}  // namespace zel::sim
