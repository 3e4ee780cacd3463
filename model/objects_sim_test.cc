// Every object kind against the controller simulator on a pseudo-terminal, through the real
// serial transport and a whole Start of a shipped scenario (the house for zones, units and areas;
// the estate, the largest model with audio, for the others): a command goes out as the exact
// frame the controller records, and its effect shows on the next poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "link/frame.h"
#include "link/serial_transport.h"
#include "model/areas.h"
#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/bstr_collection.h"
#include "model/messages.h"
#include "model/model_registration.h"
#include "model/temperature_sensors.h"
#include "model/thermostats.h"
#include "model/x10_unit.h"
#include "model/zones.h"
#include "platform/instance_paths.h"
#include "platform/property_bag.h"
#include "platform/resource_library.h"
#include "server/recording_sink.h"
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
    fixture_.emplace(ClockDivisor());
    sim::Scenario scenario;
    std::string error;
    ASSERT_EQ(S_OK, sim::LoadScenarioFile(
                        std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/" + ScenarioFile(), &scenario,
                        &error))
        << error;
    ASSERT_EQ(S_OK, fixture_->Start(std::move(scenario)));
    server_ = MakeObject<CZelServer>();
    ComPtr<CZelCommHandlerSerial> serial = fixture_->NewSerialLink();
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(serial.get()));
    ASSERT_EQ(S_OK, server_->put_AccessCode(BStr("1234")));
    ASSERT_EQ(S_OK, server_->Start());
    ASSERT_EQ(ssInteractive, server_->status());
  }

  void TearDown() override {
    if (server_) (void)server_->Stop();
    server_.reset();
  }

  // The scenario under sim/scenarios the controller plays, and how much faster than in
  // production its waits run.
  virtual std::string ScenarioFile() const { return "house.json"; }
  virtual int ClockDivisor() const { return kClockDivisor; }

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
    std::vector<Bytes> frames = fixture_->sim().ReceivedFrames();
    auto it = std::find(frames.begin() + static_cast<long>(std::min(from, frames.size())),
                        frames.end(), frame);
    return it == frames.end() ? -1 : it - frames.begin();
  }

  std::optional<SimFixture> fixture_;  // made in SetUp, at the subclass's clock divisor
  ComPtr<CZelServer> server_;
};

TEST_F(ObjectsSimTest, BypassedZoneShowsOnTheNextPoll) {
  ComPtr<IZelZone> zone = Element<IZelZone>(kSlotZones, 2);
  int32_t arming = -1;
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(0, arming);
  fixture_->sim().ClearReceivedFrames();
  // "1234" is the first user code of the house.
  ASSERT_EQ(S_OK, zone->Bypass(Variant::Str("1234")));
  Bytes bypass = CommandFrame(4, 1, 2);
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x0F, 0x04, 0x01, 0x00, 0x02}),
            Bytes(bypass.begin(), bypass.begin() + 7));
  long at = PositionOf(bypass);
  ASSERT_GE(at, 0);
  // The zone's own poll follows the command.
  EXPECT_GT(PositionOf(ItemRequestFrame(0x15, 2), static_cast<size_t>(at)), at);
  EXPECT_EQ((std::vector<sim::CommandRecord>{{4, 1, 2}}), fixture_->sim().Commands());
  ASSERT_EQ(S_OK, zone->get_ArmingStatus(&arming));
  EXPECT_EQ(1, arming);
  // A code the house does not know sends nothing.
  fixture_->sim().ClearReceivedFrames();
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

// A unit command whose acknowledge comes just after the read time-out: the late reply is never
// read as the answer to a later request, and the next poll shows every unit as the controller
// holds it.
TEST_F(ObjectsSimTest, LateReplyLeavesTheLinkInStep) {
  ComPtr<IDispatch> d;
  ASSERT_EQ(S_OK, server_->GetCollection(kSlotUnits, d.Receive()));
  ComPtr<IZelCollection> units;
  ASSERT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &units));
  // Only this test's requests on the link from here.
  ASSERT_EQ(S_OK, units->StopUpdate());
  sim::Fault late;
  late.kind = sim::FaultKind::kDelay;
  late.delay_ms =
      static_cast<int>(CZelCommHandlerSerial::kReadTimeout.count()) / kClockDivisor + 20;
  fixture_->sim().InjectFault(late);
  ComPtr<IZelX10Unit> kitchen = Element<IZelX10Unit>(kSlotUnits, 3);
  EXPECT_EQ(E_COMM_TIMEOUT, kitchen->On(Variant::Missing()));
  // The acknowledge reaches the line meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::map<uint16_t, int32_t> held;
  fixture_->sim().WithState([&](sim::SimState& s) {
    for (const auto& [number, unit] : s.objects.units) held[number] = unit.status;
  });
  ASSERT_EQ(1, held[3]) << "the command itself was carried out";
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    ASSERT_TRUE(Succeeded(units->Update(false, kAllElements)));
    for (const auto& [number, status] : held) {
      int32_t shown = -1;
      ASSERT_EQ(S_OK, Element<IZelUnit>(kSlotUnits, number)->get_Status(&shown));
      EXPECT_EQ(status, shown) << "unit " << number;
    }
  }
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

// ---- The estate: thermostats, sensors, messages and audio --------------------------------

class EstateSimTest : public ObjectsSimTest {
 protected:
  std::string ScenarioFile() const override { return "estate.json"; }
  // The estate polls audio every second and pauses a second after each audio command: ten
  // times faster keeps the link's time-outs (300 ms) clear of a loaded machine.
  int ClockDivisor() const override { return 10; }

  ComPtr<IZelCollection> Collection(int slot) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, server_->GetCollection(slot, d.Receive()));
    ComPtr<IZelCollection> c;
    EXPECT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &c));
    return c;
  }
  BStr NameAt(int slot, int32_t position) {
    Variant item;
    EXPECT_EQ(S_OK, Collection(slot)->Item(Variant::I4(position), Variant::Missing(), &item));
    ComPtr<IZelCollectionElement> e;
    EXPECT_EQ(S_OK, QueryAs<IZelCollectionElement>(item.dispatch(), &e));
    BStr name;
    EXPECT_EQ(S_OK, e->get_Name(&name));
    return name;
  }
  static std::vector<std::string> Strings(IDispatch* list) {
    ComPtr<IBSTRCollection> strings;
    EXPECT_EQ(S_OK, QueryAs<IBSTRCollection>(list, &strings));
    int32_t count = 0;
    EXPECT_EQ(S_OK, strings->get_Count(&count));
    std::vector<std::string> out;
    for (int32_t i = 1; i <= count; ++i) {
      BStr item;
      EXPECT_EQ(S_OK, strings->Item(Variant::I4(i), &item));
      out.push_back(item.str());
    }
    return out;
  }
};

TEST_F(EstateSimTest, CollectionsHoldTheControllersObjects) {
  struct Case {
    int slot;
    int32_t count;
    const char* first;
  };
  // Audio units 457, 458 and 473, 474 are renumbered as sources and zones 1 and 2; the codes
  // add the six built-in codes.
  for (Case c : std::initializer_list<Case>{{kSlotThermostats, 2, "LIVING ROOM"},
                                            {kSlotMessages, 3, "GATE LEFT OPEN"},
                                            {kSlotButtons, 2, "LIGHTS OFF"},
                                            {kSlotCodes, 8, "OWNER"},
                                            {kSlotAudioSources, 2, "CD PLAYER"},
                                            {kSlotAudioZones, 2, "KITCHEN"}}) {
    int32_t count = 0;
    ASSERT_EQ(S_OK, Collection(c.slot)->get_Count(&count));
    EXPECT_EQ(c.count, count) << c.first;
    EXPECT_EQ(BStr(c.first), NameAt(c.slot, 1));
  }
  ComPtr<IZelAudioZone> terrace = Element<IZelAudioZone>(kSlotAudioZones, 2);
  ComPtr<IZelThermostat> guest = Element<IZelThermostat>(kSlotThermostats, 2);
  Variant type;
  ASSERT_EQ(S_OK, guest->get_Type(&type));
  EXPECT_EQ(Variant::I4(2), type);
}

TEST_F(EstateSimTest, ThermostatSetpointAndModeShowOnTheNextPoll) {
  ComPtr<IZelThermostat> t = Element<IZelThermostat>(kSlotThermostats, 1);
  double degrees = 0;
  ASSERT_EQ(S_OK, t->get_HeatSetpointF(&degrees));
  EXPECT_DOUBLE_EQ(68.0, degrees);
  ASSERT_EQ(S_OK, t->get_TemperatureC(&degrees));
  EXPECT_DOUBLE_EQ(22.0, degrees);
  // 72 F: 112 / 0.9 = 124.4, raw 124.
  ASSERT_EQ(S_OK, t->put_HeatSetpointF(Variant::I4(72)));
  EXPECT_GE(PositionOf(CommandFrame(0x42, 124, 1)), 0);
  ASSERT_EQ(S_OK, t->get_HeatSetpointC(&degrees));
  EXPECT_DOUBLE_EQ(22.0, degrees);
  ASSERT_EQ(S_OK, t->put_SystemMode(Variant::I4(3)));
  int32_t mode = 0;
  ASSERT_EQ(S_OK, t->get_SystemMode(&mode));
  EXPECT_EQ(3, mode);
  // Beyond the controller's range: limited, as the controller takes it.
  ASSERT_EQ(S_OK, t->put_CoolSetpointC(Variant::I4(60)));
  EXPECT_GE(PositionOf(CommandFrame(0x43, 180, 1)), 0);
  ASSERT_EQ(S_OK, t->get_CoolSetpointC(&degrees));
  EXPECT_DOUBLE_EQ(50.0, degrees);
}

TEST_F(EstateSimTest, TemperatureSensorSetpointOutputAndLinks) {
  ComPtr<CZelTemperatureSensor> cellar = MakeObject<CZelTemperatureSensor>();
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, bag->Write("ID", Variant::I4(10)));
  ASSERT_EQ(S_OK, cellar->Load(bag.get()));
  ASSERT_EQ(S_OK, Collection(kSlotTemperatureSensors)
                      ->Add(Variant::Dispatch(static_cast<IZelTemperatureSensor*>(cellar.get())),
                            Variant::Missing()));
  ASSERT_EQ(S_OK, Poll(kSlotTemperatureSensors, cellar.get()));
  double degrees = 0;
  ASSERT_EQ(S_OK, cellar->get_TemperatureC(&degrees));
  EXPECT_DOUBLE_EQ(13.0, degrees);
  ASSERT_EQ(S_OK, cellar->put_HeatSetpointC(Variant::I4(15)));
  EXPECT_GE(PositionOf(CommandFrame(0x42, 110, 10)), 0);
  ASSERT_EQ(S_OK, cellar->get_HeatSetpointC(&degrees));
  EXPECT_DOUBLE_EQ(15.0, degrees);
  // Zone 10 is of type 80: it drives its own output (unit 386 on this model). The zones' poll
  // that follows ends with a system zone the simulator lacks (S_FALSE).
  ASSERT_TRUE(Succeeded(cellar->On(Variant::Missing())));
  EXPECT_GE(PositionOf(CommandFrame(0x41, 0, 10)), 0);
  Variant unit, zone;
  ASSERT_EQ(S_OK, cellar->get_Unit(&unit));
  ASSERT_EQ(VT_DISPATCH, unit.vt());
  ComPtr<IZelCollectionElement> output;
  ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(unit.dispatch(), &output));
  Variant id;
  ASSERT_EQ(S_OK, output->get_ID(&id));
  EXPECT_EQ(386, id.i4());
  ASSERT_EQ(S_OK, cellar->get_Zone(&zone));
  ComPtr<IZelCollectionElement> own_zone;
  ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(zone.dispatch(), &own_zone));
  BStr name;
  ASSERT_EQ(S_OK, own_zone->get_Name(&name));
  EXPECT_EQ(BStr("WINE CELLAR"), name);
}

TEST_F(EstateSimTest, MessageShownAndCleared) {
  ComPtr<IZelMessage> m = Element<IZelMessage>(kSlotMessages, 1);
  ComPtr<IZelMessage> last = Element<IZelMessage>(kSlotMessages, 100);
  ASSERT_EQ(S_OK, Poll(kSlotMessages, m.get()));
  VariantBool displayed, acknowledged;
  ASSERT_EQ(S_OK, m->get_Displayed(&displayed));
  EXPECT_EQ(VARIANT_FALSE, displayed.value);
  ASSERT_EQ(S_OK, last->get_Displayed(&displayed));
  EXPECT_EQ(VARIANT_TRUE, displayed.value) << "message 100 in the largest model's reply";

  ASSERT_EQ(S_OK, m->Show());
  EXPECT_GE(PositionOf(CommandFrame(0x50, 0, 1)), 0);
  EXPECT_GE(PositionOf(Bytes{0x5A, 0x01, 0x24, 0x01, 0x8B}), 0);
  ASSERT_EQ(S_OK, m->get_Displayed(&displayed));
  ASSERT_EQ(S_OK, m->get_Acknowledged(&acknowledged));
  EXPECT_EQ(VARIANT_TRUE, displayed.value);
  EXPECT_EQ(VARIANT_FALSE, acknowledged.value);

  ASSERT_EQ(S_OK, m->Clear());
  ASSERT_EQ(S_OK, m->get_Displayed(&displayed));
  ASSERT_EQ(S_OK, m->get_Acknowledged(&acknowledged));
  EXPECT_EQ(VARIANT_FALSE, displayed.value);
  EXPECT_EQ(VARIANT_TRUE, acknowledged.value);

  ComPtr<IZelMessages> messages;
  ASSERT_EQ(S_OK, QueryAs<IZelMessages>(Collection(kSlotMessages).get(), &messages));
  VariantBool has;
  ASSERT_EQ(S_OK, messages->get_HasStatus(&has));
  EXPECT_EQ(VARIANT_TRUE, has.value);
}

TEST_F(EstateSimTest, AudioZoneSwitchedOnAndItsSourceChanged) {
  ComPtr<IZelAudioZone> zone = Element<IZelAudioZone>(kSlotAudioZones, 2);
  CallLog log;
  ComPtr<RecordingSink> sink = MakeObject<RecordingSink>("sink", &log);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK,
            QueryAs<IConnectionPointContainer>(Collection(kSlotAudioZones).get(), &container));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(kIidDZelAudioZoneEvents, point.Receive()));
  uint32_t cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(sink.get(), &cookie));

  int32_t power = -1;
  ASSERT_EQ(S_OK, zone->get_PowerStatus(&power));
  EXPECT_EQ(psOff, power);
  ASSERT_EQ(S_OK, zone->put_PowerStatus(psOn));
  EXPECT_GE(PositionOf(CommandFrame(0x70, 1, 2)), 0);
  ASSERT_EQ(S_OK, zone->get_PowerStatus(&power));
  EXPECT_EQ(psOn, power);

  ASSERT_EQ(S_OK, zone->put_Source(2));
  EXPECT_GE(PositionOf(CommandFrame(0x72, 2, 2)), 0);
  Variant source;
  ASSERT_EQ(S_OK, zone->get_Source(&source));
  ComPtr<IZelCollectionElement> tuner;
  ASSERT_EQ(S_OK, QueryAs<IZelCollectionElement>(source.dispatch(), &tuner));
  BStr name;
  ASSERT_EQ(S_OK, tuner->get_Name(&name));
  EXPECT_EQ(BStr("TUNER"), name);
  EXPECT_EQ(E_INVALIDARG, zone->put_Source(9)) << "the model has eight sources";

  // The power and source changes were announced to the sink.
  std::vector<int32_t> changed;
  for (const CallLog::Call& c : log.Snapshot()) {
    if (c.dispid == kDispidOnAudioZoneChange) changed.push_back(c.args.at(0).i4());
  }
  EXPECT_NE(changed.end(), std::find(changed.begin(), changed.end(), kDispidAudioZonePowerStatus));
  EXPECT_NE(changed.end(), std::find(changed.begin(), changed.end(), kDispidAudioZoneSource));
  ASSERT_EQ(S_OK, point->Unadvise(cookie));
}

TEST_F(EstateSimTest, SourceMetadataIsRead) {
  ComPtr<IZelAudioSource> cd = Element<IZelAudioSource>(kSlotAudioSources, 1);
  ComPtr<IZelAudioSource> radio = Element<IZelAudioSource>(kSlotAudioSources, 2);
  ASSERT_EQ(S_OK, Poll(kSlotAudioSources, cd.get()));
  EXPECT_GE(PositionOf(Bytes{0x5A, 0x02, 0x33, 0x01, 0x74, 0xF0}), 0);
  BStr text;
  ASSERT_EQ(S_OK, cd->get_SongTitle(&text));
  EXPECT_EQ(BStr("BLUE IN GREEN"), text);
  ASSERT_EQ(S_OK, cd->get_AlbumName(&text));
  EXPECT_EQ(BStr("LATE SET"), text);
  ComPtr<IDispatch> list;
  ASSERT_EQ(S_OK, cd->get_Metadata(list.Receive()));
  EXPECT_EQ((std::vector<std::string>{"BLUE IN GREEN", "THE TRIO", "JAZZ", "LATE SET"}),
            Strings(list.get()));
  ASSERT_EQ(S_OK, Poll(kSlotAudioSources, radio.get()));
  ASSERT_EQ(S_OK, radio->get_ChannelNumber(&text));
  EXPECT_EQ(BStr("101.5"), text);
  ASSERT_EQ(S_OK, radio->get_Metadata(list.Receive()));
  EXPECT_EQ((std::vector<std::string>{"JAZZ FM", "NIGHT SHIFT"}), Strings(list.get()));
}

}  // namespace
}  // namespace zel
