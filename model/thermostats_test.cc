// Thermostats and temperature sensors: the temperature encoding in both scales, the status
// polls, every command's frame and argument handling, the refreshes that follow, and the sensor's
// links to its zone and output unit.
#include "model/thermostats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/object_test_fixture.h"
#include "model/temperature_sensors.h"
#include "model/units.h"
#include "model/zones.h"

namespace zel {
namespace {

TEST(TemperatureTest, RawBytesReadInBothScales) {
  struct Case {
    uint8_t raw;
    double celsius, fahrenheit;
  };
  for (Case c : std::initializer_list<Case>{{0, 0.0, 0.0},  // no value
                                            {1, -39.5, -39.1},
                                            {44, -18.0, -0.4},
                                            {80, 0.0, 32.0},
                                            {120, 20.0, 68.0},
                                            {180, 50.0, 122.0},
                                            {255, 87.5, 189.5}}) {
    EXPECT_NEAR(c.celsius, DecodeTemperature(c.raw, TemperatureScale::kCelsius), 1e-9) << +c.raw;
    EXPECT_NEAR(c.fahrenheit, DecodeTemperature(c.raw, TemperatureScale::kFahrenheit), 1e-9)
        << +c.raw;
  }
}

TEST(TemperatureTest, SetpointsRoundHalfUpAndZeroMeansNoValue) {
  struct Case {
    double degrees;
    TemperatureScale scale;
    int64_t raw;
  };
  constexpr auto F = TemperatureScale::kFahrenheit;
  constexpr auto C = TemperatureScale::kCelsius;
  for (Case c : std::initializer_list<Case>{{68, F, 120},     // 108 / 0.9
                                            {20.3, C, 121},   // 120.6
                                            {20.25, C, 121},  // 120.5: half up
                                            {20.2, C, 120},   // 120.4
                                            {68.45, F, 121},  // 120.5
                                            {0.0, F, 0},
                                            {0.0, C, 0},
                                            {-40.0, F, 0},
                                            {-40.0, C, 0},
                                            {-39.5, C, 1},
                                            {32, F, 80},
                                            {200, F, 267},
                                            {-30, F, 11},
                                            {-50, C, -20}}) {
    int64_t raw = -1;
    ASSERT_TRUE(EncodeTemperature(c.degrees, c.scale, &raw)) << c.degrees;
    EXPECT_EQ(c.raw, raw) << c.degrees;
  }
  int64_t raw = 0;
  EXPECT_FALSE(EncodeTemperature(std::numeric_limits<double>::quiet_NaN(), C, &raw));
  EXPECT_FALSE(EncodeTemperature(std::numeric_limits<double>::infinity(), F, &raw));
}

TEST(TemperatureTest, ThermostatLimitsAndSensorRange) {
  struct Case {
    double fahrenheit;
    HRESULT thermostat_hr;
    uint8_t thermostat_raw;
    HRESULT sensor_hr;
    uint8_t sensor_raw;
  };
  for (Case c : std::initializer_list<Case>{{68, S_OK, 120, S_OK, 120},
                                            {200, S_OK, 180, E_INVALIDARG, 0},
                                            {-30, S_OK, 44, S_OK, 11},
                                            {-40, S_OK, 0, S_OK, 0},
                                            {0, S_OK, 0, S_OK, 0},
                                            {-39.6, S_OK, 44, S_OK, 0},  // 0.44 rounds to 0
                                            {-41, S_OK, 44, E_INVALIDARG, 0},
                                            {189.5, S_OK, 180, S_OK, 255},
                                            {190, S_OK, 180, E_INVALIDARG, 0}}) {
    uint8_t raw = 1;
    EXPECT_EQ(c.thermostat_hr,
              ThermostatSetpointRaw(c.fahrenheit, TemperatureScale::kFahrenheit, &raw))
        << c.fahrenheit;
    if (c.thermostat_hr == S_OK) {
      EXPECT_EQ(c.thermostat_raw, raw) << c.fahrenheit;
    }
    raw = 1;
    EXPECT_EQ(c.sensor_hr, SensorSetpointRaw(c.fahrenheit, TemperatureScale::kFahrenheit, &raw))
        << c.fahrenheit;
    if (c.sensor_hr == S_OK) {
      EXPECT_EQ(c.sensor_raw, raw) << c.fahrenheit;
    }
  }
}

class ThermostatsTest : public ObjectTest {
 protected:
  ComPtr<CZelThermostat> AddThermostat(uint16_t id, const std::string& name = "") {
    item_status_[0x1E][id] = {0, 0, 0, 0, 0, 0, 0};
    return AddElement<CZelThermostat>(kSlotThermostats, id, name);
  }
  ComPtr<CZelTemperatureSensor> AddSensor(uint16_t id) {
    item_status_[0x19][id] = {0, 0, 0, 0};
    return AddElement<CZelTemperatureSensor>(kSlotTemperatureSensors, id);
  }
  HRESULT PollThermostat(uint32_t position) {
    return Collection(kSlotThermostats)->Update(true, position);
  }
  static double Read(HRESULT (IZelThermostat::*getter)(double*), IZelThermostat* t) {
    double value = -1000;
    EXPECT_EQ(S_OK, (t->*getter)(&value));
    return value;
  }
};

TEST_F(ThermostatsTest, PollReadsSevenBytesInOrder) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(1);
  item_status_[0x1E][1] = {0x81, 130, 120, 150, 2, 1, 3};
  ASSERT_EQ(S_OK, PollThermostat(1));
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x03, 0x1E, 0x01, 0x01, 0xA0, 0x12}}), link_->frames());
  int32_t value = -1;
  ASSERT_EQ(S_OK, t->get_Status(&value));
  EXPECT_EQ(0x81, value);
  EXPECT_DOUBLE_EQ(25.0, Read(&IZelThermostat::get_TemperatureC, t.get()));
  EXPECT_DOUBLE_EQ(77.0, Read(&IZelThermostat::get_TemperatureF, t.get()));
  EXPECT_DOUBLE_EQ(20.0, Read(&IZelThermostat::get_HeatSetpointC, t.get()));
  EXPECT_DOUBLE_EQ(68.0, Read(&IZelThermostat::get_HeatSetpointF, t.get()));
  EXPECT_DOUBLE_EQ(35.0, Read(&IZelThermostat::get_CoolSetpointC, t.get()));
  EXPECT_DOUBLE_EQ(95.0, Read(&IZelThermostat::get_CoolSetpointF, t.get()));
  ASSERT_EQ(S_OK, t->get_SystemMode(&value));
  EXPECT_EQ(2, value);
  ASSERT_EQ(S_OK, t->get_FanMode(&value));
  EXPECT_EQ(1, value);
  ASSERT_EQ(S_OK, t->get_HoldMode(&value));
  EXPECT_EQ(3, value);
}

TEST_F(ThermostatsTest, ShortReplyNakAndLongNumbersKeepTheLastGoodState) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(2);
  item_status_[0x1E][2] = {0, 120, 0, 0, 1, 0, 0};
  ASSERT_EQ(S_OK, PollThermostat(1));
  item_status_[0x1E][2] = {0, 130, 0, 0, 2, 0};  // six bytes
  EXPECT_EQ(E_FAIL, PollThermostat(1));
  item_status_[0x1E].erase(2);
  EXPECT_EQ(S_FALSE, PollThermostat(1));
  EXPECT_DOUBLE_EQ(68.0, Read(&IZelThermostat::get_TemperatureF, t.get()));
  int32_t mode = 0;
  ASSERT_EQ(S_OK, t->get_SystemMode(&mode));
  EXPECT_EQ(1, mode);

  // A thermostat numbered from 256 has no one-byte request: never polled.
  AddThermostat(300);
  link_->ClearSent();
  EXPECT_EQ(S_FALSE, PollThermostat(2));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ThermostatsTest, EveryCommandsFrameThenTheThermostatsRefresh) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(1);
  using Put = HRESULT (IZelThermostat::*)(Variant);
  struct Case {
    Put put;
    Variant argument;
    Bytes frame;
  };
  const Case cases[] = {
      {&IZelThermostat::put_HeatSetpointF,
       Variant::I4(68),
       {0x5A, 0x05, 0x0F, 0x42, 0x78, 0x00, 0x01, 0x01, 0xF5}},
      {&IZelThermostat::put_HeatSetpointC,
       Variant::R8(20.3),
       {0x5A, 0x05, 0x0F, 0x42, 0x79, 0x00, 0x01, 0x50, 0x35}},
      {&IZelThermostat::put_HeatSetpointF,
       Variant::I4(-30),
       {0x5A, 0x05, 0x0F, 0x42, 0x2C, 0x00, 0x01, 0x40, 0x25}},
      {&IZelThermostat::put_HeatSetpointF,
       Variant::I4(-40),
       {0x5A, 0x05, 0x0F, 0x42, 0x00, 0x00, 0x01, 0x81, 0xEC}},
      {&IZelThermostat::put_CoolSetpointF,
       Variant::I4(200),
       {0x5A, 0x05, 0x0F, 0x43, 0xB4, 0x00, 0x01, 0xC0, 0x36}},
      {&IZelThermostat::put_CoolSetpointC,
       Variant::Str("50"),
       {0x5A, 0x05, 0x0F, 0x43, 0xB4, 0x00, 0x01, 0xC0, 0x36}},
      {&IZelThermostat::put_SystemMode,
       Variant::I4(3),
       {0x5A, 0x05, 0x0F, 0x44, 0x03, 0x00, 0x01, 0x71, 0x64}},
      {&IZelThermostat::put_FanMode,
       Variant::I2(1),
       {0x5A, 0x05, 0x0F, 0x45, 0x01, 0x00, 0x01, 0xD1, 0x58}},
      {&IZelThermostat::put_HoldMode,
       Variant::I4(255),
       {0x5A, 0x05, 0x0F, 0x46, 0xFF, 0x00, 0x01, 0xB0, 0xEC}},
  };
  for (const Case& c : cases) {
    link_->ClearSent();
    ASSERT_EQ(S_OK, (t.get()->*c.put)(c.argument));
    EXPECT_EQ((std::vector<Bytes>{c.frame, ItemRequest(0x1E, 1)}), link_->frames());
  }
}

TEST_F(ThermostatsTest, BadArgumentsSendNothing) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(1);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, t->put_HeatSetpointF(Variant::Str("warm")));
  EXPECT_EQ(E_INVALIDARG, t->put_CoolSetpointC(Variant::R8(std::nan(""))));
  EXPECT_EQ(DISP_E_OVERFLOW, t->put_SystemMode(Variant::I4(256)));
  EXPECT_EQ(DISP_E_OVERFLOW, t->put_FanMode(Variant::I4(-1)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, t->put_HoldMode(Variant::Str("hold")));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ThermostatsTest, RefusedCommandKeepsStateAndRefreshesNothing) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(1);
  item_status_[0x1E][1] = {0, 120, 120, 150, 1, 0, 0};
  ASSERT_EQ(S_OK, PollThermostat(1));
  link_->ClearSent();
  nak_commands_ = true;
  EXPECT_EQ(CO_E_NOT_SUPPORTED, t->put_HeatSetpointF(Variant::I4(72)));
  EXPECT_EQ(1u, link_->sent_count());
  EXPECT_DOUBLE_EQ(68.0, Read(&IZelThermostat::get_HeatSetpointF, t.get()));
}

TEST_F(ThermostatsTest, TypeComesFromTheSetupBlock) {
  setup_[1085] = 1;  // parameter 13 of model 7, thermostat 1
  setup_[1086] = 4;
  Connect(7);
  Variant type;
  ASSERT_EQ(S_OK, AddThermostat(1)->get_Type(&type));
  EXPECT_EQ(Variant::I4(1), type);
  ASSERT_EQ(S_OK, AddThermostat(2)->get_Type(&type));
  EXPECT_EQ(Variant::I4(4), type);
}

TEST_F(ThermostatsTest, MembersAndPropertyMap) {
  Connect(7);
  ComPtr<CZelThermostat> t = AddThermostat(1, "DOWNSTAIRS");
  ExpectDispids(t.get(), {{"Type", 0x590},
                          {"Status", 0x591},
                          {"TemperatureF", 0x592},
                          {"TemperatureC", 0x593},
                          {"HeatSetpointF", 0x594},
                          {"HeatSetpointC", 0x595},
                          {"CoolSetpointF", 0x596},
                          {"CoolSetpointC", 0x597},
                          {"SystemMode", 0x598},
                          {"FanMode", 0x599},
                          {"HoldMode", 0x59A}});
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "TYPE",
                                      "STATUS", "TEMPERATUREF", "TEMPERATUREC", "HEATSETPOINTF",
                                      "HEATSETPOINTC", "COOLSETPOINTF", "COOLSETPOINTC",
                                      "SYSTEMMODE", "FANMODE", "HOLDMODE"}),
            SavedKeys(t.get()));
  // Through the dispatch interface as scripts reach it.
  item_status_[0x1E][1] = {0, 120, 0, 0, 0, 0, 0};
  ASSERT_EQ(S_OK, PollThermostat(1));
  Variant celsius;
  ASSERT_EQ(S_OK, t->Invoke(0x593, DISPATCH_PROPERTYGET, {}, &celsius));
  EXPECT_EQ(Variant::R8(20.0), celsius);
  Variant interval;
  ASSERT_EQ(S_OK, Collection(kSlotThermostats)->get_UpdateInterval(&interval));
  EXPECT_EQ(Variant::UI4(5000), interval);
}

// ---- Temperature sensors --------------------------------------------------------------------

TEST_F(ThermostatsTest, SensorPollReadsFourBytes) {
  Connect(7);
  ComPtr<CZelTemperatureSensor> s = AddSensor(5);
  item_status_[0x19][5] = {3, 120, 1, 255};
  ASSERT_EQ(S_OK, Collection(kSlotTemperatureSensors)->Update(true, 1));
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x03, 0x19, 0x05, 0x05, 0x12, 0xD0}}), link_->frames());
  int32_t status = 0;
  ASSERT_EQ(S_OK, s->get_Status(&status));
  EXPECT_EQ(3, status);
  double d = 0;
  ASSERT_EQ(S_OK, s->get_TemperatureC(&d));
  EXPECT_DOUBLE_EQ(20.0, d);
  ASSERT_EQ(S_OK, s->get_HeatSetpointC(&d));
  EXPECT_DOUBLE_EQ(-39.5, d);
  ASSERT_EQ(S_OK, s->get_CoolSetpointF(&d));
  EXPECT_DOUBLE_EQ(189.5, d);
  item_status_[0x19][5] = {0, 0, 0};
  EXPECT_EQ(E_FAIL, Collection(kSlotTemperatureSensors)->Update(true, 1));
  ASSERT_EQ(S_OK, s->get_TemperatureF(&d));
  EXPECT_DOUBLE_EQ(68.0, d);
}

TEST_F(ThermostatsTest, SensorSetpointsPauseASecondThenRefreshTheSensor) {
  Connect(7);
  ComPtr<CZelTemperatureSensor> s = AddSensor(5);
  PauseRecorder pauses;
  {
    ScopedClock use(&pauses);
    // 100 F: 140 / 0.9 = 155.6, sent unlimited as 156.
    ASSERT_EQ(S_OK, s->put_HeatSetpointF(Variant::I4(100)));
  }
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x05, 0x0F, 0x42, 0x9C, 0x00, 0x05, 0x40, 0x01},
                                ItemRequest(0x19, 5)}),
            link_->frames());
  EXPECT_EQ(std::vector<Millis>{Millis(1000)}, pauses.pauses());
  link_->ClearSent();
  ASSERT_EQ(S_OK, s->put_CoolSetpointC(Variant::I4(-30)));  // raw 20, below a thermostat's 44
  EXPECT_EQ(Command(0x43, 20, 5), link_->frames().at(0));

  // Out of one byte, or not a number: refused before anything goes out.
  link_->ClearSent();
  EXPECT_EQ(E_INVALIDARG, s->put_HeatSetpointF(Variant::I4(200)));
  EXPECT_EQ(E_INVALIDARG, s->put_HeatSetpointC(Variant::I4(-45)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, s->put_CoolSetpointF(Variant::Str("cold")));
  EXPECT_TRUE(link_->frames().empty());

  // A refused command neither pauses nor refreshes.
  nak_commands_ = true;
  PauseRecorder none;
  {
    ScopedClock use(&none);
    EXPECT_EQ(CO_E_NOT_SUPPORTED, s->put_HeatSetpointF(Variant::I4(70)));
  }
  EXPECT_TRUE(none.pauses().empty());
  EXPECT_EQ(1u, link_->sent_count());
}

TEST_F(ThermostatsTest, SensorOutputOnlyForTypeZeroThenEveryZoneIsPolled) {
  SetZoneType(5, 80);  // a sensor with its own output: Type 0
  SetZoneType(6, 81);
  Connect(7);
  ComPtr<CZelTemperatureSensor> with_output = AddSensor(5);
  ComPtr<CZelTemperatureSensor> without = AddSensor(6);
  for (uint16_t zone : {5, 6}) {
    AddElement<CZelZone>(kSlotZones, zone);
    zone_status_[zone] = {0, 0};
  }
  Variant type;
  ASSERT_EQ(S_OK, without->get_Type(&type));
  EXPECT_EQ(Variant::I4(1), type);

  ASSERT_EQ(S_OK, with_output->On(Variant::I4(10)));
  EXPECT_EQ((std::vector<Bytes>{{0x5A, 0x05, 0x0F, 0x41, 0x0A, 0x00, 0x05, 0xA0, 0x69},
                                ItemRequest(0x15, 5),
                                ItemRequest(0x15, 6)}),
            link_->frames());
  link_->ClearSent();
  ASSERT_EQ(S_OK, with_output->Off(Variant::Missing()));
  EXPECT_EQ((Bytes{0x5A, 0x05, 0x0F, 0x40, 0x00, 0x00, 0x05, 0x81, 0x97}), link_->frames().at(0));

  link_->ClearSent();
  EXPECT_EQ(CO_E_NOT_SUPPORTED, without->On(Variant::Missing()));
  EXPECT_EQ(CO_E_NOT_SUPPORTED, without->Off(Variant::I4(3)));
  EXPECT_EQ(DISP_E_OVERFLOW, with_output->On(Variant::I4(256)));
  EXPECT_TRUE(link_->frames().empty());
}

TEST_F(ThermostatsTest, SensorLeadsToItsZoneAndPairedUnit) {
  Connect(7);
  ComPtr<CZelTemperatureSensor> s = AddSensor(5);
  Variant none;
  ASSERT_EQ(S_OK, s->get_Unit(&none));
  EXPECT_EQ(VT_EMPTY, none.vt()) << "no unit yet: empty, and not kept";

  ComPtr<CZelZone> zone = AddElement<CZelZone>(kSlotZones, 5);
  // Model 7 (record 8): zones up to 16 pair with unit 72 - 16 + zone.
  ComPtr<CZelUnit> unit = AddElement<CZelUnit>(kSlotUnits, 61);
  Variant v;
  ASSERT_EQ(S_OK, s->get_Zone(&v));
  ASSERT_EQ(VT_DISPATCH, v.vt());
  EXPECT_EQ(static_cast<IDispatch*>(static_cast<IZelZone*>(zone.get())), v.dispatch());
  ASSERT_EQ(S_OK, s->get_Unit(&v));
  ASSERT_EQ(VT_DISPATCH, v.vt());
  EXPECT_EQ(static_cast<IDispatch*>(static_cast<IZelUnit*>(unit.get())), v.dispatch());
}

TEST_F(ThermostatsTest, SensorMembersAndPropertyMap) {
  SetZoneType(5, 83);
  Connect(7);
  ComPtr<CZelTemperatureSensor> s = AddSensor(5);
  ExpectDispids(s.get(), {{"Type", 0x580},
                          {"Status", 0x581},
                          {"Unit", 0x582},
                          {"Zone", 0x583},
                          {"TemperatureF", 0x584},
                          {"TemperatureC", 0x585},
                          {"HeatSetpointF", 0x586},
                          {"HeatSetpointC", 0x587},
                          {"CoolSetpointF", 0x588},
                          {"CoolSetpointC", 0x589},
                          {"On", 0x6003000E},
                          {"Off", 0x6003000F}});
  EXPECT_EQ((std::vector<std::string>{"INDEX", "ID", "NAME", "FRIENDLYNAME", "DISPLAY", "STATUS",
                                      "TYPE", "TEMPERATUREF", "TEMPERATUREC", "HEATSETPOINTF",
                                      "HEATSETPOINTC", "COOLSETPOINTF", "COOLSETPOINTC"}),
            SavedKeys(s.get()));
  Variant type;
  ASSERT_EQ(S_OK, s->Invoke(0x580, DISPATCH_PROPERTYGET, {}, &type));
  EXPECT_EQ(Variant::I4(3), type);
  Variant interval;
  ASSERT_EQ(S_OK, Collection(kSlotTemperatureSensors)->get_UpdateInterval(&interval));
  EXPECT_EQ(Variant::UI4(30000), interval);
}

}  // namespace
}  // namespace zel
