// Zones: status decoding through the poll, type and area from the setup and from the system
// zone tables, bypass and restore with their code check and refresh, and the property map.
#include "model/zones.h"

#include <gtest/gtest.h>

#include "model/areas.h"
#include "model/object_test_fixture.h"
#include "model/plain_element.h"
#include "platform/freshness.h"

namespace zel {
namespace {

class ZonesTest : public ObjectTest {
 protected:
  ComPtr<CZelZone> AddZone(uint16_t id) { return AddElement<CZelZone>(kSlotZones, id); }
  ComPtr<CZelArea> AddArea(uint16_t id) { return AddElement<CZelArea>(kSlotAreas, id); }
  HRESULT Poll(uint32_t position) { return Collection(kSlotZones)->Update(true, position); }
};

TEST_F(ZonesTest, StatusByteDecodesIntoItsFourFields) {
  Connect(7);
  ComPtr<CZelZone> zone = AddZone(5);
  zone_status_[5] = {0x55, 0x9C};
  ASSERT_EQ(S_OK, Poll(1));
  EXPECT_EQ(std::vector<Bytes>{ItemRequest(0x15, 5)}, link_->frames());
  int32_t v = -1;
  VariantBool trouble;
  ASSERT_EQ(S_OK, zone->get_CurrCondition(&v));
  EXPECT_EQ(1, v);
  ASSERT_EQ(S_OK, zone->get_AlarmStatus(&v));
  EXPECT_EQ(1, v);
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&v));
  EXPECT_EQ(1, v);
  ASSERT_EQ(S_OK, zone->get_HadTrouble(&trouble));
  EXPECT_EQ(VARIANT_TRUE, trouble.value);
  ASSERT_EQ(S_OK, zone->get_LoopReading(&v));
  EXPECT_EQ(0x9C, v);

  // Bit 7 alone is not interpreted.
  zone_status_[5] = {0x80, 0};
  ASSERT_EQ(S_OK, Poll(1));
  for (auto get :
       {&CZelZone::get_CurrCondition, &CZelZone::get_AlarmStatus, &CZelZone::get_ArmingStatus}) {
    ASSERT_EQ(S_OK, (zone.get()->*get)(&v));
    EXPECT_EQ(0, v);
  }
  ASSERT_EQ(S_OK, zone->get_HadTrouble(&trouble));
  EXPECT_EQ(VARIANT_FALSE, trouble.value);

  // Bits 2-3 and 4-5 are read apart: 0x2C is alarm 3, arming 2, condition 0.
  zone_status_[5] = {0x2C, 0};
  ASSERT_EQ(S_OK, Poll(1));
  ASSERT_EQ(S_OK, zone->get_AlarmStatus(&v));
  EXPECT_EQ(3, v);
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&v));
  EXPECT_EQ(2, v);
}

TEST_F(ZonesTest, AgeTellsHowLongAgoThePollRefreshedTheStatus) {
  Connect(7);
  ComPtr<CZelZone> zone = AddZone(5);
  ComPtr<IFreshness> freshness;
  ASSERT_EQ(S_OK, QueryAs<IFreshness>(static_cast<IDispatch*>(zone.get()), &freshness));
  double age = -1;
  EXPECT_EQ(S_FALSE, freshness->GetAge(&age));  // known only from the setup so far
  zone_status_[5] = {0x01, 0};
  ASSERT_EQ(S_OK, Poll(1));
  ASSERT_EQ(S_OK, freshness->GetAge(&age));
  EXPECT_DOUBLE_EQ(0.0, age);
  clock_.Advance(Millis(2500));
  ASSERT_EQ(S_OK, freshness->GetAge(&age));
  EXPECT_DOUBLE_EQ(2.5, age);
  ASSERT_EQ(S_OK, Poll(1));
  ASSERT_EQ(S_OK, freshness->GetAge(&age));
  EXPECT_DOUBLE_EQ(0.0, age);
}

TEST_F(ZonesTest, RepliesWithoutAZoneLeaveTheStatus) {
  Connect(7);
  ComPtr<CZelZone> zone = AddZone(5);
  zone_status_[5] = {0x03, 40};
  ASSERT_EQ(S_OK, Poll(1));
  // No such zone: S_FALSE. A reply too short for the loop reading: E_FAIL. Both keep the state.
  zone_status_.erase(5);
  EXPECT_EQ(S_FALSE, Poll(1));
  zone_status_[5] = {0x00};
  EXPECT_EQ(E_FAIL, Poll(1));
  int32_t v = 0;
  ASSERT_EQ(S_OK, zone->get_CurrCondition(&v));
  EXPECT_EQ(3, v);
  ASSERT_EQ(S_OK, zone->get_LoopReading(&v));
  EXPECT_EQ(40, v);
}

TEST_F(ZonesTest, ZonesFrom256AreNeverPolled) {
  Connect(7);
  AddZone(256);
  EXPECT_EQ(S_FALSE, Poll(1));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ZonesTest, TypeAndAreaOfSetupZonesComeFromTheSetupBlock) {
  SetZoneType(3, 17);
  SetZoneArea(3, 2);
  SetZoneType(48, 80);  // the last zone of the setup on this model (48 zones)
  SetZoneArea(48, 1);
  Connect(7);
  ComPtr<CZelArea> area1 = AddArea(1);
  ComPtr<CZelArea> area2 = AddArea(2);
  ComPtr<CZelZone> zone3 = AddZone(3);
  ComPtr<CZelZone> zone48 = AddZone(48);
  Variant type;
  ASSERT_EQ(S_OK, zone3->get_Type(&type));
  EXPECT_EQ(Variant::I4(17), type);
  ASSERT_EQ(S_OK, zone48->get_Type(&type));
  EXPECT_EQ(Variant::I4(80), type);
  ComPtr<IDispatch> area;
  ASSERT_EQ(S_OK, zone3->get_Area(area.Receive()));
  EXPECT_EQ(static_cast<IDispatch*>(area2.get()), area.get());
  ASSERT_EQ(S_OK, zone48->get_Area(area.Receive()));
  EXPECT_EQ(static_cast<IDispatch*>(area1.get()), area.get());
  // Nothing went to the controller: the setup block is read locally.
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ZonesTest, AreaNumberWithoutAnAreaIsTheEmptyElement) {
  SetZoneArea(4, 3);
  Connect(7);
  AddArea(1);
  ComPtr<CZelZone> zone = AddZone(4);
  ComPtr<IDispatch> area;
  ASSERT_EQ(S_FALSE, zone->get_Area(area.Receive()));
  ComPtr<IDispatch> empty;
  ASSERT_EQ(S_OK, server_->GetEmptyElement(empty.Receive()));
  EXPECT_EQ(empty.get(), area.get());
}

TEST_F(ZonesTest, SystemZonesComeFromTheModelsTable) {
  UseModel(0);
  Connect(0);  // 32 zones in the setup; table A describes 13 system zones
  AddArea(1);
  AddArea(2);
  ComPtr<CZelZone> zone33 = AddZone(33);
  ComPtr<CZelZone> zone35 = AddZone(35);
  ComPtr<CZelZone> zone45 = AddZone(45);
  ComPtr<CZelZone> zone46 = AddZone(46);
  Variant type;
  ASSERT_EQ(S_OK, zone33->get_Type(&type));
  EXPECT_EQ(Variant::I4(54), type);
  ASSERT_EQ(S_OK, zone45->get_Type(&type));
  EXPECT_EQ(Variant::I4(64), type);
  EXPECT_EQ(E_INVALIDARG, zone46->get_Type(&type));

  ComPtr<IDispatch> area;
  ComPtr<IZelCollectionElement> element;
  Variant id;
  ASSERT_EQ(S_OK, zone33->get_Area(area.Receive()));
  ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(area.get(), &element));
  ASSERT_EQ(S_OK, element->get_ID(&id));
  EXPECT_EQ(1, id.i4());
  ASSERT_EQ(S_OK, zone35->get_Area(area.Receive()));
  ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(area.get(), &element));
  ASSERT_EQ(S_OK, element->get_ID(&id));
  EXPECT_EQ(2, id.i4());
  EXPECT_EQ(E_INVALIDARG, zone46->get_Area(area.Receive()));
  EXPECT_EQ(nullptr, area.get());
}

TEST_F(ZonesTest, UnknownModelHasNoSystemZones) {
  // No system information read: no capability record and no table.
  ComPtr<CZelZone> zone = AddZone(1);
  Variant type;
  EXPECT_EQ(E_FAIL, zone->get_Type(&type));
  EXPECT_EQ(Variant::I4(255), type);
  ComPtr<IDispatch> area;
  EXPECT_EQ(E_FAIL, zone->get_Area(area.Receive()));
}

TEST_F(ZonesTest, BypassAndRestoreSendTheUserAndZoneThenRefreshIt) {
  SetUserCode(1, 1111);
  SetUserCode(2, 1234);
  Connect(7);
  AddZone(1);
  ComPtr<CZelZone> zone = AddZone(9);
  zone_status_[9] = {0x10, 0};
  ASSERT_EQ(S_OK, zone->Bypass(Variant::Str("1234")));
  // 5A 05 0F 04 02 00 09 crc, then the zone's own poll.
  EXPECT_EQ((std::vector<Bytes>{Command(4, 2, 9), ItemRequest(0x15, 9)}), link_->frames());
  int32_t arming = 0;
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(1, arming);

  link_->ClearSent();
  zone_status_[9] = {0x00, 0};
  ASSERT_EQ(S_OK, zone->Restore(Variant::Str("1111")));
  EXPECT_EQ((std::vector<Bytes>{Command(5, 1, 9), ItemRequest(0x15, 9)}), link_->frames());
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(0, arming);
}

TEST_F(ZonesTest, RejectedCodeSendsNothing) {
  SetUserCode(1, 1234);
  Connect(7);
  ComPtr<CZelZone> zone = AddZone(2);
  for (Variant code : {Variant::Str("4321"), Variant::Str("123"), Variant::Str(" 1234"),
                       Variant::Unknown(nullptr)}) {
    EXPECT_EQ(E_SRV_LOGIN_DENIED, zone->Bypass(code));
    EXPECT_EQ(E_SRV_LOGIN_DENIED, zone->Restore(code));
  }
  ComPtr<IZelZones> zones;
  ASSERT_EQ(S_OK, QueryAs<IZelZones>(Collection(kSlotZones).get(), &zones));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, zones->Restore(Variant::Str("0000")));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ZonesTest, RefusedCommandRefreshesNothing) {
  SetUserCode(1, 1234);
  Connect(7);
  ComPtr<CZelZone> zone = AddZone(2);
  nak_commands_ = true;
  EXPECT_EQ(CO_E_NOT_SUPPORTED, zone->Bypass(Variant::Str("1234")));
  EXPECT_EQ((std::vector<Bytes>{Command(4, 1, 2)}), link_->frames());
}

TEST_F(ZonesTest, SingleCodeModelsSendUserOneForAnyCode) {
  UseModel(9);
  Connect(9);
  ComPtr<CZelZone> zone = AddZone(3);
  zone_status_[3] = {0, 0};
  ASSERT_EQ(S_OK, zone->Bypass(Variant::Str("no code at all")));
  EXPECT_EQ(Command(4, 1, 3), link_->frames().at(0));
}

TEST_F(ZonesTest, RestoreAllPollsEveryZone) {
  SetUserCode(3, 42);
  Connect(7);
  for (uint16_t id : {1, 2, 7}) {
    AddZone(id);
    zone_status_[id] = {0, 0};
  }
  ComPtr<IZelZones> zones;
  ASSERT_EQ(S_OK, QueryAs<IZelZones>(Collection(kSlotZones).get(), &zones));
  ASSERT_EQ(S_OK, zones->Restore(Variant::Str("0042")));
  EXPECT_EQ((std::vector<Bytes>{Command(6, 3, 0), ItemRequest(0x15, 1), ItemRequest(0x15, 2),
                                ItemRequest(0x15, 7)}),
            link_->frames());
}

TEST_F(ZonesTest, RefreshFindsTheZoneAfterAnAreaListRenumberedIt) {
  SetUserCode(1, 1234);
  SetZoneArea(1, 1);
  SetZoneArea(2, 2);
  SetZoneArea(3, 2);
  Connect(7);
  AddArea(1);
  ComPtr<CZelArea> area2 = AddArea(2);
  AddZone(1);
  AddZone(2);
  ComPtr<CZelZone> zone3 = AddZone(3);
  // Adding zone 3 to area 2's list makes its Index 2 there.
  ComPtr<IDispatch> list;
  ASSERT_EQ(S_OK, area2->get_Zones(list.Receive()));
  EXPECT_EQ(2u, zone3->index());
  zone_status_[3] = {0x10, 0};
  ASSERT_EQ(S_OK, zone3->Bypass(Variant::Str("1234")));
  // The refresh still polls zone 3, not the zone at position 2 of the server's zones.
  EXPECT_EQ(ItemRequest(0x15, 3), link_->frames().back());
}

TEST_F(ZonesTest, MembersAndPropertyMap) {
  SetZoneType(1, 33);
  SetZoneArea(1, 1);
  Connect(7);
  AddArea(1);
  ComPtr<CZelZone> zone = AddElement<CZelZone>(kSlotZones, 1, "FRONT DOOR");
  zone_status_[1] = {0x41, 7};
  ASSERT_EQ(S_OK, Poll(1));

  Variant trouble;
  ASSERT_EQ(S_OK, zone->Invoke(0x5B5, DISPATCH_PROPERTYGET, {}, &trouble));
  EXPECT_EQ(Variant::BoolRaw(VARIANT_TRUE), trouble);

  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, zone->Save(bag.get(), true, true));
  std::vector<std::string> keys;
  for (const auto& [key, value] : bag->entries()) keys.push_back(key);
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "AREA",
                                      "TYPE", "STATUS", "CURRCONDITION", "ALARMSTATUS",
                                      "ARMINGSTATUS", "HADTROUBLE", "LOOPREADING"}),
            keys);
  Variant status, loop;
  ASSERT_EQ(S_OK, bag->Read("STATUS", &status));
  EXPECT_EQ(Variant::UI2(0x41), status);
  ASSERT_EQ(S_OK, bag->Read("LOOPREADING", &loop));
  EXPECT_EQ(Variant::UI2(7), loop);
}

TEST_F(ZonesTest, SessionUsersResolveThroughTheCodesCollection) {
  Connect(7);
  AddElement<CZelCollectionElement>(kSlotCodes, 5, "OWNER");
  AddElement<CZelCollectionElement>(kSlotCodes, 0x102, "GUEST");
  SecurityCodeContext* context = server_->security_context();
  uint32_t id = 0;
  ASSERT_EQ(S_OK, context->FindCodeIdByName("owner", &id));  // names ignore ASCII case
  EXPECT_EQ(5u, id);
  ASSERT_EQ(S_OK, context->FindCodeIdByName("GUEST", &id));
  EXPECT_EQ(0x102u, id);
  EXPECT_EQ(E_FAIL, context->FindCodeIdByName("CLEANER", &id));
  // Without client sessions a cookie is only text: it resolves as digits, and matches none.
  uint8_t user = 0;
  EXPECT_EQ(E_SRV_LOGIN_DENIED,
            ResolveSecurityCode(context, Variant::Str(GuidToString(NewGuid())), &user));
}

}  // namespace
}  // namespace zel
