// Areas: the mode bytes of the system status reply by position and the per-model header check,
// the arm, disarm, restore and lighting commands of an area and of all areas, the code check
// before the mode check, and the zones of an area.
#include "model/areas.h"

#include <gtest/gtest.h>

#include "model/object_test_fixture.h"
#include "model/zones.h"

namespace zel {
namespace {

class AreasTest : public ObjectTest {
 protected:
  ComPtr<CZelArea> AddArea(uint16_t id) { return AddElement<CZelArea>(kSlotAreas, id); }
  ComPtr<IZelAreas> Areas() {
    ComPtr<IZelAreas> areas;
    EXPECT_EQ(S_OK, QueryAs<IZelAreas>(Collection(kSlotAreas).get(), &areas));
    return areas;
  }
  // A system status reply with `count` data bytes, byte i holding 0xA0 + i.
  static Bytes StatusReply(size_t count) {
    Bytes data(count);
    for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    return SealFrame(0x14, data);
  }
  static int32_t Mode(CZelArea* area) {
    int32_t mode = -1;
    EXPECT_EQ(S_OK, area->get_SecurityMode(&mode));
    return mode;
  }
};

TEST_F(AreasTest, ModeBytesGoByPosition) {
  UseModel(0);
  Connect(0);
  // IDs in another order than positions: the byte follows the position.
  ComPtr<CZelArea> first = AddArea(2);
  ComPtr<CZelArea> second = AddArea(1);
  system_status_ = StatusReply(16);  // 5A 11 14 ...
  ASSERT_EQ(S_OK, Collection(kSlotAreas)->Update(true, kAllElements));
  EXPECT_EQ((std::vector<Bytes>{SystemStatusRequest(), SystemStatusRequest()}), link_->frames());
  EXPECT_EQ(0xA0 + 14, Mode(first.get()));
  EXPECT_EQ(0xA0 + 15, Mode(second.get()));
}

TEST_F(AreasTest, HeaderOfAnotherModelLeavesModesUnchanged) {
  UseModel(0);
  Connect(0);
  ComPtr<CZelArea> area = AddArea(1);
  system_status_ = StatusReply(16);
  ASSERT_EQ(S_OK, Collection(kSlotAreas)->Update(true, 1));
  // The header of models 1 and 2 (5A 1F 14), then a negative acknowledge.
  system_status_ = StatusReply(30);
  (*system_status_)[3 + 14] = 0x01;
  EXPECT_EQ(E_FAIL, Collection(kSlotAreas)->Update(true, 1));
  system_status_ = NakBytes();
  EXPECT_EQ(E_FAIL, Collection(kSlotAreas)->Update(true, 1));
  // A third area's byte would lie past this model's 16 data bytes.
  AddArea(2);
  ComPtr<CZelArea> third = AddArea(3);
  system_status_ = StatusReply(16);
  EXPECT_EQ(E_FAIL, Collection(kSlotAreas)->Update(true, 3));
  EXPECT_EQ(0, Mode(third.get()));
  EXPECT_EQ(0xA0 + 14, Mode(area.get()));
}

TEST_F(AreasTest, ExpectedHeadersByModel) {
  struct Case {
    int model;
    uint8_t length;
  };
  for (Case c : std::initializer_list<Case>{{0, 0x11},
                                            {1, 0x1F},
                                            {2, 0x1F},
                                            {3, 0x10},
                                            {4, 0x11},
                                            {5, 0x27},
                                            {7, 0x11},
                                            {9, 0x10},
                                            {10, 0x20}}) {
    uint8_t header[3] = {};
    ASSERT_TRUE(ExpectedSystemStatusHeader(c.model, header)) << c.model;
    EXPECT_EQ(0x5A, header[0]);
    EXPECT_EQ(c.length, header[1]) << c.model;
    EXPECT_EQ(0x14, header[2]);
  }
  uint8_t header[3];
  for (int model : {-1, 6, 8, 11}) EXPECT_FALSE(ExpectedSystemStatusHeader(model, header));
}

TEST_F(AreasTest, UnknownModelPollFails) {
  ComPtr<CZelArea> area = AddArea(1);
  system_status_ = StatusReply(16);
  EXPECT_EQ(E_FAIL, Collection(kSlotAreas)->Update(true, 1));
  EXPECT_EQ(0, Mode(area.get()));
}

TEST_F(AreasTest, ArmDefaultsToMode3AndRefusesModesOutside1To6) {
  SetUserCode(4, 1234);
  Connect(7);
  ComPtr<CZelArea> area = AddArea(2);
  system_status_ = StatusReply(16);
  ASSERT_EQ(S_OK, area->Arm(Variant::Str("1234"), Variant::Missing()));
  EXPECT_EQ((std::vector<Bytes>{Command(0x33, 4, 2), SystemStatusRequest()}), link_->frames());
  link_->ClearSent();
  ASSERT_EQ(S_OK, area->Arm(Variant::Str("1234"), Variant::Str("6")));
  EXPECT_EQ(Command(0x36, 4, 2), link_->frames().at(0));
  link_->ClearSent();
  ASSERT_EQ(S_OK, area->Arm(Variant::Str("1234"), Variant::I4(1)));
  EXPECT_EQ(Command(0x31, 4, 2), link_->frames().at(0));
  link_->ClearSent();

  EXPECT_EQ(E_INVALIDARG, area->Arm(Variant::Str("1234"), Variant::I4(7)));
  EXPECT_EQ(E_INVALIDARG, area->Arm(Variant::Str("1234"), Variant::I4(0)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, area->Arm(Variant::Str("1234"), Variant::Str("away")));
  // The code is checked before the mode.
  EXPECT_EQ(E_SRV_LOGIN_DENIED, area->Arm(Variant::Str("9999"), Variant::I4(7)));
  EXPECT_EQ(E_INVALIDARG, Areas()->Arm(Variant::Str("1234"), Variant::I4(7)));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(AreasTest, AreaCommandsAndTheirRefresh) {
  SetUserCode(1, 1111);
  Connect(7);
  AddArea(1);
  ComPtr<CZelArea> area = AddArea(3);
  system_status_ = StatusReply(16);
  ASSERT_EQ(S_OK, area->Disarm(Variant::Str("1111")));
  ASSERT_EQ(S_OK, area->Restore(Variant::Str("1111")));
  ASSERT_EQ(S_OK, area->AllOff());
  ASSERT_EQ(S_OK, area->AllOn());
  EXPECT_EQ((std::vector<Bytes>{Command(0x30, 1, 3), SystemStatusRequest(), Command(6, 1, 3),
                                SystemStatusRequest(), Command(2, 0, 3), SystemStatusRequest(),
                                Command(3, 0, 3), SystemStatusRequest()}),
            link_->frames());
  // The refresh of the area at position 2 took data byte 15.
  EXPECT_EQ(0xA0 + 15, Mode(area.get()));
}

TEST_F(AreasTest, RefusedCommandIsReturnedWithoutRefresh) {
  SetUserCode(1, 1111);
  Connect(7);
  ComPtr<CZelArea> area = AddArea(1);
  nak_commands_ = true;
  EXPECT_EQ(CO_E_NOT_SUPPORTED, area->Disarm(Variant::Str("1111")));
  EXPECT_EQ(CO_E_NOT_SUPPORTED, area->AllOn());
  EXPECT_EQ((std::vector<Bytes>{Command(0x30, 1, 1), Command(3, 0, 1)}), link_->frames());
  EXPECT_EQ(E_SRV_LOGIN_DENIED, area->Restore(Variant::Str("2222")));
  EXPECT_EQ(2u, link_->frames().size());
}

TEST_F(AreasTest, SingleAreaModelsArmArea1AndDisarmTheId) {
  UseModel(9);
  Connect(9);
  ComPtr<CZelArea> area = AddArea(2);
  system_status_ = StatusReply(15);  // 5A 10 14
  ASSERT_EQ(S_OK, area->Arm(Variant::Str("anything"), Variant::Missing()));
  ASSERT_EQ(S_OK, area->Disarm(Variant::Str("anything")));
  EXPECT_EQ((std::vector<Bytes>{Command(0x33, 1, 1), SystemStatusRequest(), Command(0x30, 1, 2),
                                SystemStatusRequest()}),
            link_->frames());
  EXPECT_EQ(0xA0 + 14, Mode(area.get()));
}

TEST_F(AreasTest, CollectionCommandsAddressArea0) {
  SetUserCode(2, 4321);
  Connect(7);
  AddArea(1);
  AddArea(2);
  system_status_ = StatusReply(16);
  ComPtr<IZelAreas> areas = Areas();
  ASSERT_EQ(S_OK, areas->Arm(Variant::Str("4321"), Variant::I4(2)));
  EXPECT_EQ((std::vector<Bytes>{Command(0x32, 2, 0), SystemStatusRequest(), SystemStatusRequest()}),
            link_->frames());
  link_->ClearSent();
  ASSERT_EQ(S_OK, areas->Disarm(Variant::Str("4321")));
  ASSERT_EQ(S_OK, areas->Restore(Variant::Str("4321")));
  EXPECT_EQ((std::vector<Bytes>{Command(0x30, 2, 0), SystemStatusRequest(), SystemStatusRequest(),
                                Command(6, 2, 0), SystemStatusRequest(), SystemStatusRequest()}),
            link_->frames());
  link_->ClearSent();
  // All off and all on refresh nothing.
  ASSERT_EQ(S_OK, areas->AllOff());
  ASSERT_EQ(S_OK, areas->AllOn());
  EXPECT_EQ((std::vector<Bytes>{Command(2, 0, 0), Command(3, 0, 0)}), link_->frames());
}

TEST_F(AreasTest, ZonesOfAnAreaAreBuiltOnceFromTheZonesAreas) {
  SetZoneArea(1, 1);
  SetZoneArea(2, 2);
  SetZoneArea(3, 1);
  SetZoneArea(4, 9);  // no such area: left out
  Connect(7);
  ComPtr<CZelArea> area1 = AddArea(1);
  ComPtr<CZelArea> area2 = AddArea(2);
  for (uint16_t id : {1, 2, 3, 4}) AddElement<CZelZone>(kSlotZones, id);
  ComPtr<IDispatch> list;
  ASSERT_EQ(S_OK, area1->get_Zones(list.Receive()));
  ComPtr<IZelZones> zones;
  ASSERT_EQ(S_OK, QueryAs<IZelZones>(list.get(), &zones));
  int32_t count = 0;
  ASSERT_EQ(S_OK, zones->get_Count(&count));
  ASSERT_EQ(2, count);
  for (int32_t position : {1, 2}) {
    Variant item;
    ASSERT_EQ(S_OK, zones->Item(Variant::I4(position), Variant::Missing(), &item));
    ComPtr<IZelCollectionElement> zone;
    ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(item.dispatch(), &zone));
    Variant id;
    ASSERT_EQ(S_OK, zone->get_ID(&id));
    EXPECT_EQ(position == 1 ? 1 : 3, id.i4());
  }
  // Kept: a zone added later does not appear, and the same collection comes back.
  AddElement<CZelZone>(kSlotZones, 5);
  ComPtr<IDispatch> again;
  ASSERT_EQ(S_OK, area1->get_Zones(again.Receive()));
  EXPECT_EQ(list.get(), again.get());
  ComPtr<IDispatch> other;
  ASSERT_EQ(S_OK, area2->get_Zones(other.Receive()));
  ASSERT_EQ(S_OK, QueryAs<IZelZones>(other.get(), &zones));
  ASSERT_EQ(S_OK, zones->get_Count(&count));
  EXPECT_EQ(1, count);
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(AreasTest, PropertyMapInOrder) {
  ComPtr<CZelArea> area = AddArea(1);
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, area->Save(bag.get(), true, true));
  std::vector<std::string> keys;
  for (const auto& [key, value] : bag->entries()) keys.push_back(key);
  EXPECT_EQ(
      (std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "SECURITYMODE"}),
      keys);
}

}  // namespace
}  // namespace zel
