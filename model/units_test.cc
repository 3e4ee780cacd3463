// Units: the poll with one- and two-byte numbers, status and time remaining, the lighting
// decoding, house codes and unit numbers, every command's frame and argument handling, the
// refresh after a command, and the unit type rule's classes.
#include "model/units.h"

#include <gtest/gtest.h>

#include "model/counter_unit.h"
#include "model/object_test_fixture.h"
#include "model/x10_unit.h"
#include "platform/class_registry.h"

namespace zel {
namespace {

class UnitsTest : public ObjectTest {
 protected:
  template <class T = CZelX10Unit>
  ComPtr<T> AddUnit(uint16_t id) {
    unit_status_[id] = {0, 0, 0};
    return AddElement<T>(kSlotUnits, id);
  }
  HRESULT Poll(uint32_t position) { return Collection(kSlotUnits)->Update(true, position); }
  // The commands sent since the last clear, each followed by its unit's refresh poll.
  void ExpectCommandThenPoll(const Bytes& command, uint16_t unit) {
    EXPECT_EQ((std::vector<Bytes>{command, ItemRequest(0x17, unit)}), link_->frames());
    link_->ClearSent();
  }
};

TEST_F(UnitsTest, PollUsesOneByteNumbersBelow256AndTwoBytesFrom256) {
  Connect(7);
  ComPtr<CZelUnit> low = AddUnit<CZelUnit>(255);
  ComPtr<CZelUnit> high = AddUnit<CZelUnit>(300);
  unit_status_[255] = {1, 0x0E, 0x8D};  // 3725 s
  unit_status_[300] = {0, 0, 59};
  ASSERT_EQ(S_OK, Collection(kSlotUnits)->Update(true, kAllElements));
  EXPECT_EQ(SealFrame(0x17, {0xFF, 0xFF}), link_->frames().at(0));
  EXPECT_EQ(SealFrame(0x17, {0x01, 0x2C, 0x01, 0x2C}), link_->frames().at(1));
  int32_t status = -1;
  BStr left;
  ASSERT_EQ(S_OK, low->get_Status(&status));
  EXPECT_EQ(1, status);
  ASSERT_EQ(S_OK, low->get_TimeRemaining(&left));
  EXPECT_EQ("01:02:05", left.str());
  ASSERT_EQ(S_OK, high->get_TimeRemaining(&left));
  EXPECT_EQ("00:00:59", left.str());
}

TEST_F(UnitsTest, TimeRemainingFormat) {
  EXPECT_EQ("00:00:00", FormatTimeRemaining(0));
  EXPECT_EQ("01:02:05", FormatTimeRemaining(3725));
  EXPECT_EQ("18:12:15", FormatTimeRemaining(65535));
}

TEST_F(UnitsTest, ShortOrMissingRepliesKeepTheStatus) {
  Connect(7);
  ComPtr<CZelUnit> unit = AddUnit<CZelUnit>(4);
  unit_status_[4] = {1, 0, 10};
  ASSERT_EQ(S_OK, Poll(1));
  unit_status_[4] = {0, 0};
  EXPECT_EQ(E_FAIL, Poll(1));
  unit_status_.erase(4);
  EXPECT_EQ(S_FALSE, Poll(1));
  int32_t status = 0;
  ASSERT_EQ(S_OK, unit->get_Status(&status));
  EXPECT_EQ(1, status);
}

TEST_F(UnitsTest, LightingStatusRanges) {
  struct Case {
    uint8_t status;
    int32_t scene, dim, brighten, level;
  };
  for (Case c : std::initializer_list<Case>{{150, 0, 0, 0, 50},
                                            {14, 0, 0, 0, 0},
                                            {2, 0, 0, 0, 0},
                                            {13, 11, 0, 0, 0},
                                            {16, 0, 0, 0, 0},
                                            {17, 0, 1, 0, 0},
                                            {25, 0, 9, 0, 0},
                                            {26, 0, 0, 0, 0},
                                            {33, 0, 0, 1, 0},
                                            {41, 0, 0, 9, 0},
                                            {100, 0, 0, 0, 0},
                                            {200, 0, 0, 0, 100},
                                            {201, 0, 0, 0, 0},
                                            {1, 0, 0, 0, 0}}) {
    LightingStatus s = DecodeLightingStatus(c.status);
    EXPECT_EQ(c.scene, s.scene) << int{c.status};
    EXPECT_EQ(c.dim, s.dim_steps) << int{c.status};
    EXPECT_EQ(c.brighten, s.brighten_steps) << int{c.status};
    EXPECT_EQ(c.level, s.current_level) << int{c.status};
  }
}

TEST_F(UnitsTest, LightingPropertiesFollowThePolledStatus) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(3);
  unit_status_[3] = {150, 0, 0};
  ASSERT_EQ(S_OK, Poll(1));
  int32_t v = -1;
  ASSERT_EQ(S_OK, unit->get_CurrentLevel(&v));
  EXPECT_EQ(50, v);
  ASSERT_EQ(S_OK, unit->get_Scene(&v));
  EXPECT_EQ(0, v);
  ASSERT_EQ(S_OK, unit->get_Status(&v));
  EXPECT_EQ(150, v);
}

TEST_F(UnitsTest, HouseCodesAndUnitNumbersGoInGroupsOf16) {
  SetFirstHouseCode(1);
  SetLightingFormat(0, 2);
  SetLightingFormat(1, 5);
  Connect(7);
  ComPtr<CZelX10Unit> u1 = AddUnit(1);
  ComPtr<CZelX10Unit> u16 = AddUnit(16);
  ComPtr<CZelX10Unit> u17 = AddUnit(17);
  int32_t number = 0, format = 0;
  BStr house;
  ASSERT_EQ(S_OK, u16->get_UnitNumber(&number));
  EXPECT_EQ(16, number);
  ASSERT_EQ(S_OK, u16->get_HouseCode(&house));
  EXPECT_EQ("A", house.str());
  ASSERT_EQ(S_OK, u16->get_Format(&format));
  EXPECT_EQ(2, format);
  ASSERT_EQ(S_OK, u17->get_UnitNumber(&number));
  EXPECT_EQ(1, number);
  ASSERT_EQ(S_OK, u17->get_HouseCode(&house));
  EXPECT_EQ("B", house.str());
  ASSERT_EQ(S_OK, u17->get_Format(&format));
  EXPECT_EQ(5, format);
  ASSERT_EQ(S_OK, u1->get_UnitNumber(&number));
  EXPECT_EQ(1, number);
}

TEST_F(UnitsTest, OnAndOffCarryTheTimeCode) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(5);
  ASSERT_EQ(S_OK, unit->On(Variant::Missing()));
  ExpectCommandThenPoll(Command(1, 0, 5), 5);
  ASSERT_EQ(S_OK, unit->On(Variant::I4(90)));
  ExpectCommandThenPoll(Command(1, 90, 5), 5);
  ASSERT_EQ(S_OK, unit->Off(Variant::Str("7")));
  ExpectCommandThenPoll(Command(0, 7, 5), 5);
  // A duration that is no byte fails before anything is sent.
  EXPECT_EQ(DISP_E_OVERFLOW, unit->On(Variant::I4(256)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, unit->Off(Variant::Str("soon")));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(UnitsTest, LevelBrightenDimAndRampClampTheirArguments) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(5);
  ASSERT_EQ(S_OK, unit->Level(Variant::I4(40)));
  ExpectCommandThenPoll(Command(9, 40, 5), 5);
  ASSERT_EQ(S_OK, unit->Level(Variant::I4(150)));
  ExpectCommandThenPoll(Command(9, 100, 5), 5);
  ASSERT_EQ(S_OK, unit->Brighten(Variant::I4(0), Variant::Missing()));
  ExpectCommandThenPoll(Command(0x21, 0, 5), 5);
  ASSERT_EQ(S_OK, unit->Brighten(Variant::I4(4), Variant::I4(2)));
  ExpectCommandThenPoll(Command(0x24, 2, 5), 5);
  ASSERT_EQ(S_OK, unit->Dim(Variant::I4(12), Variant::Missing()));
  ExpectCommandThenPoll(Command(0x19, 0, 5), 5);
  ASSERT_EQ(S_OK, unit->Dim(Variant::I4(0), Variant::Missing()));
  ExpectCommandThenPoll(Command(0x11, 0, 5), 5);
  ASSERT_EQ(S_OK, unit->Ramp(Variant::I4(150), Variant::I4(3)));
  ExpectCommandThenPoll(Command(13, 3, 51205), 5);
  // Byte exact: 5A 05 0F 0D 03 C8 05 and the CRC.
  Bytes ramp = Command(13, 3, 51205);
  EXPECT_EQ(0xC8, ramp[5]);
  EXPECT_EQ(0x05, ramp[6]);
  ASSERT_EQ(S_OK, unit->Ramp(Variant::I4(0), Variant::Missing()));
  ExpectCommandThenPoll(Command(13, 0, 5), 5);

  EXPECT_EQ(DISP_E_OVERFLOW, unit->Level(Variant::I4(-1)));
  EXPECT_EQ(DISP_E_OVERFLOW, unit->Brighten(Variant::I4(300), Variant::Missing()));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, unit->Dim(Variant::I4(2), Variant::Str("later")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, unit->Ramp(Variant::Str("half"), Variant::I4(1)));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(UnitsTest, ComposeOnlyForFormats257) {
  SetLightingFormat(0, 7);
  SetLightingFormat(1, 1);
  Connect(7);
  ComPtr<CZelX10Unit> composing = AddUnit(2);
  ComPtr<CZelX10Unit> plain = AddUnit(20);
  ASSERT_EQ(S_OK, composing->Compose(Variant::I4(20)));
  ExpectCommandThenPoll(Command(14, 13, 2), 2);
  ASSERT_EQ(S_OK, composing->Compose(Variant::I4(4)));
  ExpectCommandThenPoll(Command(14, 4, 2), 2);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, plain->Compose(Variant::I4(4)));
  // Format is checked first: even a bad state gives CO_E_NOT_SUPPORTED.
  EXPECT_EQ(CO_E_NOT_SUPPORTED, plain->Compose(Variant::Str("x")));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(UnitsTest, ComposeWithoutASetupIsNotSupported) {
  ComPtr<CZelX10Unit> unit = AddUnit(2);
  EXPECT_EQ(CO_E_NOT_SUPPORTED, unit->Compose(Variant::I4(1)));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(UnitsTest, CounterCommands) {
  Connect(7);
  ComPtr<CZelCounterUnit> counter = AddUnit<CZelCounterUnit>(100);
  ASSERT_EQ(S_OK, counter->Inc());
  ExpectCommandThenPoll(Command(11, 0, 100), 100);
  ASSERT_EQ(S_OK, counter->Dec());
  ExpectCommandThenPoll(Command(10, 0, 100), 100);
  ASSERT_EQ(S_OK, counter->Set(Variant::Str("7")));
  ExpectCommandThenPoll(Command(12, 7, 100), 100);
  EXPECT_EQ(DISP_E_OVERFLOW, counter->Set(Variant::I4(1000)));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(UnitsTest, CommandTakesEffectOnTheRefresh) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(6);
  unit_status_[6] = {1, 0, 30};  // what the controller reports after the command
  ASSERT_EQ(S_OK, unit->On(Variant::I4(30)));
  int32_t status = 0;
  ASSERT_EQ(S_OK, unit->get_Status(&status));
  EXPECT_EQ(1, status);
  // A refused command refreshes nothing and returns the refusal.
  nak_commands_ = true;
  link_->ClearSent();
  EXPECT_EQ(CO_E_NOT_SUPPORTED, unit->Off(Variant::Missing()));
  EXPECT_EQ((std::vector<Bytes>{Command(0, 0, 6)}), link_->frames());
}

TEST_F(UnitsTest, TypeFollowsTheModelsRanges) {
  Connect(7);  // lighting 1-64, voltage 65-72, counters 73-128; no audio in this setup
  struct Case {
    uint16_t id;
    int32_t type;
  };
  for (Case c : std::initializer_list<Case>{{1, 0}, {64, 0}, {65, 1}, {72, 1}, {73, 3}, {128, 3}}) {
    ComPtr<CZelUnit> unit = MakeObject<CZelUnit>();
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    ASSERT_EQ(S_OK, bag->Write("ID", Variant::I4(c.id)));
    ASSERT_EQ(S_OK, unit->Load(bag.get()));
    Variant type;
    ASSERT_EQ(S_OK, unit->get_Type(&type)) << c.id;
    EXPECT_EQ(Variant::I4(c.type), type) << c.id;
  }
  ComPtr<CZelUnit> outside = AddUnit<CZelUnit>(129);
  Variant type = Variant::I4(9);
  EXPECT_EQ(E_FAIL, outside->get_Type(&type));
  EXPECT_TRUE(type.IsEmpty());
}

TEST_F(UnitsTest, ClassesByIdAnswerTheirInterfaces) {
  struct Case {
    CLSID clsid;
    IID iid;
  };
  for (Case c : std::initializer_list<Case>{{kClsidZelUnit, IZelUnit::kIid},
                                            {kClsidZelX10Unit, IZelX10Unit::kIid},
                                            {kClsidZelVoltageUnit, IZelVoltageUnit::kIid},
                                            {kClsidZelExpansionUnit, IZelExpansionUnit::kIid},
                                            {kClsidZelCounterUnit, IZelCounterUnit::kIid}}) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(c.clsid, &object));
    ComPtr<IUnknown> own, unit, element;
    EXPECT_EQ(S_OK, object->QueryInterface(c.iid, own.ReceiveVoid()));
    EXPECT_EQ(S_OK, object->QueryInterface(IZelUnit::kIid, unit.ReceiveVoid()));
    EXPECT_EQ(S_OK, object->QueryInterface(IZelCollectionElement::kIid, element.ReceiveVoid()));
    CLSID clsid;
    ComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(S_OK, QueryAs<IPersistStreamInit>(object.get(), &persist));
    ASSERT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_EQ(c.clsid, clsid);
  }
}

TEST_F(UnitsTest, PropertyMapsInOrder) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(3);
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, unit->Save(bag.get(), true, true));
  std::vector<std::string> keys;
  for (const auto& [key, value] : bag->entries()) keys.push_back(key);
  EXPECT_EQ(
      (std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "TYPE", "STATUS",
                                "TIMEREMAINING", "FORMAT", "HOUSECODE", "UNITNUMBER", "SCENE",
                                "CURRENTLEVEL", "BRIGHTENSTEPS", "DIMSTEPS"}),
      keys);
  ComPtr<CZelCounterUnit> counter = AddUnit<CZelCounterUnit>(80);
  bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, counter->Save(bag.get(), true, true));
  keys.clear();
  for (const auto& [key, value] : bag->entries()) keys.push_back(key);
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "TYPE",
                                      "STATUS", "TIMEREMAINING"}),
            keys);
}

TEST_F(UnitsTest, MembersByDispatch) {
  Connect(7);
  ComPtr<CZelX10Unit> unit = AddUnit(5);
  // Ramp by dispatch with its arguments as a script passes them.
  Variant args[] = {Variant::I4(150), Variant::I4(3)};
  ASSERT_EQ(S_OK, unit->Invoke(0x6004000A, DISPATCH_METHOD, args, nullptr));
  ExpectCommandThenPoll(Command(13, 3, 51205), 5);
  // On with its duration omitted.
  ASSERT_EQ(S_OK, unit->Invoke(0x60030003, DISPATCH_METHOD, {}, nullptr));
  ExpectCommandThenPoll(Command(1, 0, 5), 5);
  Variant left;
  ASSERT_EQ(S_OK, unit->Invoke(0x5A2, DISPATCH_PROPERTYGET, {}, &left));
  EXPECT_EQ(Variant::Str("00:00:00"), left);
  DISPID id = 0;
  ASSERT_EQ(S_OK, unit->GetIDOfName("DimSteps", &id));
  EXPECT_EQ(0x5A9, id);
  ComPtr<CZelCounterUnit> counter = AddUnit<CZelCounterUnit>(90);
  ASSERT_EQ(S_OK, counter->GetIDOfName("Set", &id));
  EXPECT_EQ(0x60040002, id);
}

}  // namespace
}  // namespace zel
