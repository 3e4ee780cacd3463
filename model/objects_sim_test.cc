// Zones, units and areas against the controller simulator on a pseudo-terminal, through the
// real serial transport and a whole Start of the shipped house: a command goes out as the exact
// frame the controller records, and its effect shows on the next poll.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/frame.h"
#include "link/serial_transport.h"
#include "model/areas.h"
#include "model/model_registration.h"
#include "model/x10_unit.h"
#include "model/zones.h"
#include "server/zel_server.h"
#include "sim/simulator.h"
#include "testing/frames.h"
#include "testing/sim_fixture.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

// Production waits run 100 times faster (the units' 1500 ms interval polls every 15 ms).
constexpr int kClockDivisor = 100;

class ObjectsSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterServerClasses();
    RegisterModelClasses();
    sim::Scenario scenario;
    std::string error;
    ASSERT_EQ(S_OK, sim::LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                                          &scenario, &error))
        << error;
    ASSERT_EQ(S_OK, fixture_.Start(std::move(scenario)));
    server_ = MakeObject<CZelServer>();
    ComPtr<CZelCommHandlerSerial> serial = fixture_.NewSerialLink();
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(serial.get()));
    ASSERT_EQ(S_OK, server_->put_AccessCode(BStr("1234")));
    ASSERT_EQ(S_OK, server_->Start());
    ASSERT_EQ(ssInteractive, server_->status());
  }

  void TearDown() override {
    if (server_) (void)server_->Stop();
    server_.reset();
  }

  template <class I>
  ComPtr<I> Element(int slot, uint16_t id) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    EXPECT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &c));
    Variant item;
    EXPECT_EQ(S_OK, c->Item(Variant::Missing(), Variant::I4(id), &item));
    ComPtr<I> element;
    EXPECT_EQ(S_OK, QueryAs<I>(item.dispatch(), &element));
    return element;
  }
  HRESULT Poll(int slot, IZelCollectionElement* element) {
    ComPtr<IDispatch> d;
    ZEL_TRY(server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    ZEL_TRY(QueryAs<IZelCollection>(d.get(), &c));
    Variant index;
    ZEL_TRY(element->get_Index(&index));
    return c->Update(true, static_cast<uint32_t>(index.i4()));
  }
  // The position of `frame` among the frames the simulator received, or -1.
  long PositionOf(const Bytes& frame, size_t from = 0) {
    std::vector<Bytes> frames = fixture_.sim().ReceivedFrames();
    auto it = std::find(frames.begin() + static_cast<long>(std::min(from, frames.size())),
                        frames.end(), frame);
    return it == frames.end() ? -1 : it - frames.begin();
  }

  SimFixture fixture_{kClockDivisor};
  ComPtr<CZelServer> server_;
};

TEST_F(ObjectsSimTest, BypassedZoneShowsOnTheNextPoll) {
  ComPtr<IZelZone> zone = Element<IZelZone>(kSlotZones, 2);
  int32_t arming = -1;
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(0, arming);
  fixture_.sim().ClearReceivedFrames();
  // "1234" is the first user code of the house.
  ASSERT_EQ(S_OK, zone->Bypass(Variant::Str("1234")));
  Bytes bypass = CommandFrame(4, 1, 2);
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x0F, 0x04, 0x01, 0x00, 0x02}),
            Bytes(bypass.begin(), bypass.begin() + 7));
  long at = PositionOf(bypass);
  ASSERT_GE(at, 0);
  // The zone's own poll follows the command.
  EXPECT_GT(PositionOf(ItemRequestFrame(0x15, 2), static_cast<size_t>(at)), at);
  EXPECT_EQ((std::vector<sim::CommandRecord>{{4, 1, 2}}), fixture_.sim().Commands());
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(1, arming);
  // A code the house does not know sends nothing.
  fixture_.sim().ClearReceivedFrames();
  EXPECT_EQ(E_SRV_LOGIN_DENIED, zone->Restore(Variant::Str("9999")));
  EXPECT_EQ(-1, PositionOf(CommandFrame(5, 1, 2)));
  // Restored, and seen on an explicit poll too.
  ASSERT_EQ(S_OK, zone->Restore(Variant::Str("5678")));
  EXPECT_GE(PositionOf(CommandFrame(5, 2, 2)), 0);
  ASSERT_EQ(S_OK, Poll(kSlotZones, zone.get()));
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(0, arming);
}

TEST_F(ObjectsSimTest, UnitSwitchedOnShowsOnTheNextPoll) {
  ComPtr<IZelX10Unit> unit = Element<IZelX10Unit>(kSlotUnits, 3);
  int32_t status = -1;
  ASSERT_EQ(S_OK, unit->get_Status(&status));
  EXPECT_EQ(0, status);
  ASSERT_EQ(S_OK, unit->On(Variant::Missing()));
  EXPECT_GE(PositionOf(CommandFrame(1, 0, 3)), 0);
  ASSERT_EQ(S_OK, Poll(kSlotUnits, unit.get()));
  ASSERT_EQ(S_OK, unit->get_Status(&status));
  EXPECT_EQ(1, status);
  ASSERT_EQ(S_OK, unit->Level(Variant::I4(40)));
  int32_t level = 0;
  ASSERT_EQ(S_OK, unit->get_CurrentLevel(&level));
  EXPECT_EQ(40, level);
  // The house's porch light reports its time remaining.
  ComPtr<IZelUnit> porch = Element<IZelUnit>(kSlotUnits, 1);
  BStr left;
  ASSERT_EQ(S_OK, porch->get_TimeRemaining(&left));
  EXPECT_EQ("01:02:05", left.str());
}

TEST_F(ObjectsSimTest, ArmedAreaShowsItsMode) {
  ComPtr<IZelArea> area = Element<IZelArea>(kSlotAreas, 1);
  int32_t mode = -1;
  ASSERT_EQ(S_OK, area->get_SecurityMode(&mode));
  EXPECT_EQ(0, mode);
  ASSERT_EQ(S_OK, area->Arm(Variant::Str("1234"), Variant::Missing()));
  EXPECT_GE(PositionOf(CommandFrame(0x33, 1, 1)), 0);
  ASSERT_EQ(S_OK, area->get_SecurityMode(&mode));
  EXPECT_EQ(3, mode);
  EXPECT_EQ(E_INVALIDARG, area->Arm(Variant::Str("1234"), Variant::I4(7)));
  ASSERT_EQ(S_OK, area->Disarm(Variant::Str("1234")));
  ASSERT_EQ(S_OK, Poll(kSlotAreas, area.get()));
  ASSERT_EQ(S_OK, area->get_SecurityMode(&mode));
  EXPECT_EQ(0, mode);
  // The zones of area 1.
  ComPtr<IDispatch> zones;
  ASSERT_EQ(S_OK, area->get_Zones(zones.Receive()));
  ComPtr<IZelCollection> list;
  ASSERT_EQ(S_OK, QueryAs<IZelCollection>(zones.get(), &list));
  int32_t count = 0;
  ASSERT_EQ(S_OK, list->get_Count(&count));
  // The six zones of the house and the system zones of area 1: 49, 50, 52, 54, 56, 58 to 63
  // (51, 53, 55 and 57 lie in area 2).
  EXPECT_EQ(17, count);
}

}  // namespace
}  // namespace zel
