// The event log against the controller simulator, through the real serial transport on a
// pseudo-terminal and the real network transport on UDP: the walk's frames on the wire, and a
// reply lost at every position of a walk (the controller has stepped on, the server times out)
// with every record arriving exactly once. On UDP the transport would send the acknowledge again
// with a new number, and the controller would step twice; the walk turns that off.
#include <gtest/gtest.h>

#include "events/event_log.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "model/model_registration.h"
#include "server/zel_server.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"

namespace zel {
namespace {

// Production waits run 100 times faster: the 3 s read time-out takes 30 ms.
constexpr int kClockDivisor = 100;

enum class Link { kSerial, kUdp };

class EventLogSimTest : public ::testing::TestWithParam<Link> {
 protected:
  void SetUp() override {
    RegisterServerClasses();
    RegisterModelClasses();
    RegisterEventLogClasses();

    sim::Scenario scenario;
    std::string error;
    ASSERT_EQ(S_OK, sim::ParseScenario(R"({"controller": {"probe_ack": true}, "log": [
                                            {"type": 49, "parameter2": 1, "month": 3, "day": 2},
                                            {"type": 4, "parameter2": 5}]})",
                                       &scenario, &error))
        << error;
    server_ = MakeObject<CZelServer>();
    if (GetParam() == Link::kSerial) {
      ASSERT_EQ(S_OK, fixture_.Start(std::move(scenario)));
      ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(fixture_.NewSerialLink().get()));
    } else {
      ASSERT_EQ(S_OK, fixture_.StartUdp(std::move(scenario)));
      ComPtr<CZelCommHandlerNetwork> network = MakeObject<CZelCommHandlerNetwork>();
      ASSERT_EQ(S_OK, network->put_Address(BStr("127.0.0.1")));
      ASSERT_EQ(S_OK, network->put_Port(Variant::UI4(fixture_.sim().udp_port())));
      ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(network.get()));
    }
    ASSERT_EQ(S_OK, server_->OpenLocalStore());
    ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, server_->get_Events(d.Receive()));
    ASSERT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &events_));
    ASSERT_EQ(S_OK, events_->put_UpdateInterval(Variant::UI4(0)));
  }

  void TearDown() override {
    events_.reset();
    server_.reset();
  }

  std::vector<int32_t> Types() {
    std::vector<int32_t> types;
    int32_t count = 0;
    EXPECT_EQ(S_OK, events_->get_Count(&count));
    for (int32_t i = 1; i <= count; ++i) {
      Variant item;
      EXPECT_EQ(S_OK, events_->Item(Variant::I4(i), Variant::Missing(), &item));
      Variant type;
      EXPECT_EQ(S_OK, GetProperty(item.dispatch(), "Type", &type));
      types.push_back(type.i4());
    }
    return types;
  }

  SimFixture fixture_{kClockDivisor};  // outlives the server: its destructor stops the simulator
  ComPtr<CZelServer> server_;
  ComPtr<IZelCollection> events_;
};

TEST_P(EventLogSimTest, TheWalkOnTheWireStopsAtTheLastSeenRecord) {
  ASSERT_EQ(S_OK, events_->Init());
  EXPECT_EQ((std::vector<int32_t>{4, 49}), Types());
  std::vector<sim::Bytes> expected = {sim::Bytes(kEventLogRequest.begin(), kEventLogRequest.end()),
                                      sim::AckFrame(), sim::AckFrame()};
  EXPECT_EQ(expected, fixture_.sim().ReceivedFrames());
  fixture_.sim().ClearReceivedFrames();
  ASSERT_EQ(R"({"ok":true,"records":3})",
            fixture_.sim().ApplyControl(R"({"log_event":{"type":130}})"));
  ASSERT_EQ(S_OK, events_->Update(true, kAllElements));
  // The new record, then the last-seen one: the walk stops without asking further.
  EXPECT_EQ(2u, fixture_.sim().ReceivedFrames().size());
  EXPECT_EQ((std::vector<int32_t>{4, 49, 130}), Types());
}

TEST_P(EventLogSimTest, LostReplyAtEveryPositionOfAWalk) {
  ASSERT_EQ(S_OK, events_->Init());
  std::vector<int32_t> expected = {4, 49};
  const int kNew = 3;
  // A walk over kNew new records has kNew + 1 replies: the new ones and the last-seen one.
  for (int lost = 0; lost <= kNew; ++lost) {
    for (int i = 0; i < kNew; ++i) {
      int type = 0x30 + (lost * kNew + i) % 7;
      std::string line = R"({"log_event":{"type":)" + std::to_string(type) + R"(,"parameter1":)" +
                         std::to_string(lost * kNew + i) + "}}";
      ASSERT_NE(std::string::npos, fixture_.sim().ApplyControl(line).find("\"ok\":true"));
      expected.push_back(type);
    }
    fixture_.sim().InjectFault(sim::Fault{sim::FaultKind::kNoReply, 1, {}, {}, 0, 0, 0, lost});
    ASSERT_EQ(S_OK, events_->Update(true, kAllElements)) << "reply " << lost << " lost";
    ASSERT_EQ(expected, Types()) << "reply " << lost << " lost";
  }
}

INSTANTIATE_TEST_SUITE_P(Links, EventLogSimTest, ::testing::Values(Link::kSerial, Link::kUdp),
                         [](const ::testing::TestParamInfo<Link>& info) {
                           return info.param == Link::kSerial ? "Serial" : "Udp";
                         });

}  // namespace
}  // namespace zel
