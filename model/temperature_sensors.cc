#include "model/temperature_sensors.h"

#include "model/object_commands.h"
#include "model/thermostats.h"
#include "model/unit_types.h"
#include "model/units.h"
#include "model/zones.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {

HRESULT SensorSetpointRaw(double degrees, TemperatureScale scale, uint8_t* raw) {
  int64_t value = 0;
  if (!EncodeTemperature(degrees, scale, &value)) return E_INVALIDARG;
  // Left to the implementer: the sensor's setpoint is not limited, but a value beyond one byte
  // cannot be sent as one; it is refused rather than wrapped.
  if (value < 0 || value > 255) return E_INVALIDARG;
  *raw = static_cast<uint8_t>(value);
  return S_OK;
}

// ---- Status ---------------------------------------------------------------------------------

HRESULT CZelTemperatureSensor::LoadStatus(const uint8_t* data, uint32_t size) {
  // `size` is the length byte: the type byte plus four data bytes.
  if (size < 5) return E_FAIL;
  MutexLock g(&fields_mu());
  status_ = data[0];
  temperature_ = data[1];
  heat_setpoint_ = data[2];
  cool_setpoint_ = data[3];
  return S_OK;
}

HRESULT CZelTemperatureSensor::Degrees(uint16_t CZelTemperatureSensor::*field,
                                       TemperatureScale scale, double* degrees) {
  if (degrees == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *degrees = DecodeTemperature(static_cast<uint8_t>(this->*field), scale);
  return S_OK;
}

HRESULT CZelTemperatureSensor::get_Status(int32_t* status) {
  if (status == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *status = status_;
  return S_OK;
}

HRESULT CZelTemperatureSensor::get_TemperatureF(double* degrees) {
  return Degrees(&CZelTemperatureSensor::temperature_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelTemperatureSensor::get_TemperatureC(double* degrees) {
  return Degrees(&CZelTemperatureSensor::temperature_, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelTemperatureSensor::get_HeatSetpointF(double* degrees) {
  return Degrees(&CZelTemperatureSensor::heat_setpoint_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelTemperatureSensor::get_HeatSetpointC(double* degrees) {
  return Degrees(&CZelTemperatureSensor::heat_setpoint_, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelTemperatureSensor::get_CoolSetpointF(double* degrees) {
  return Degrees(&CZelTemperatureSensor::cool_setpoint_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelTemperatureSensor::get_CoolSetpointC(double* degrees) {
  return Degrees(&CZelTemperatureSensor::cool_setpoint_, TemperatureScale::kCelsius, degrees);
}

HRESULT CZelTemperatureSensor::get_Type(Variant* type) {
  if (type == nullptr) return E_POINTER;
  type->Clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  uint32_t sub_index = static_cast<uint16_t>(id() - 1);
  Variant zone_type;
  ZEL_TRY(server->SystemParameter(ParameterIndex(kParamZoneType, sub_index), &zone_type));
  Variant number;
  ZEL_TRY(ChangeType(zone_type, VT_I4, &number));
  *type = Variant::I4(number.i4() - kSensorZoneTypeBase);
  return S_OK;
}

// ---- Unit and zone --------------------------------------------------------------------------

HRESULT CZelTemperatureSensor::LinkedElement(int slot, uint16_t number, ComPtr<IDispatch>* kept,
                                             Variant* out) {
  if (out == nullptr) return E_POINTER;
  out->Clear();
  MutexLock g(&links_mu_);
  if (!*kept) {
    ComPtr<IZelCollection> collection;
    if (Failed(GetServerCollection(slot, &collection))) return S_OK;
    Variant item;
    // By ID; a miss (the empty element, S_FALSE) leaves the result empty.
    if (collection->Item(Variant::Missing(), Variant::I4(number), &item) != S_OK ||
        item.vt() != VT_DISPATCH || item.dispatch() == nullptr) {
      return S_OK;
    }
    *kept = ComPtr<IDispatch>(item.dispatch());
  }
  *out = Variant::Dispatch(kept->get());
  return S_OK;
}

HRESULT CZelTemperatureSensor::get_Unit(Variant* unit) {
  if (unit == nullptr) return E_POINTER;
  ComPtr<CZelServer> server = ServerInstance();
  const CapabilityRecord* record = server != nullptr ? server->capabilities() : nullptr;
  if (record == nullptr) {
    unit->Clear();
    return S_OK;
  }
  return LinkedElement(kSlotUnits, PairedUnitNumber(*record, id()), &unit_, unit);
}

HRESULT CZelTemperatureSensor::get_Zone(Variant* zone) {
  return LinkedElement(kSlotZones, id(), &zone_, zone);
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZelTemperatureSensor::PutSetpoint(uint8_t command, TemperatureScale scale,
                                           const Variant& degrees) {
  double value = 0;
  ZEL_TRY(SetpointArgument(degrees, &value));
  uint8_t raw = 0;
  ZEL_TRY(SensorSetpointRaw(value, scale, &raw));
  ZEL_TRY(SendObjectCommand(command, raw, id()));
  // The sensor takes a moment to report the new setpoint.
  Clock::Get()->SleepFor(kSensorSetpointSettle);
  return RefreshElement(kSlotTemperatureSensors, static_cast<IZelTemperatureSensor*>(this),
                        index());
}

HRESULT CZelTemperatureSensor::put_HeatSetpointF(Variant degrees) {
  return PutSetpoint(kCommandHeatSetpoint, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelTemperatureSensor::put_HeatSetpointC(Variant degrees) {
  return PutSetpoint(kCommandHeatSetpoint, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelTemperatureSensor::put_CoolSetpointF(Variant degrees) {
  return PutSetpoint(kCommandCoolSetpoint, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelTemperatureSensor::put_CoolSetpointC(Variant degrees) {
  return PutSetpoint(kCommandCoolSetpoint, TemperatureScale::kCelsius, degrees);
}

HRESULT CZelTemperatureSensor::OutputCommand(uint8_t command, const Variant& for_time) {
  Variant type;
  HRESULT hr = get_Type(&type);
  if (Failed(hr) || type.vt() != VT_I4 || type.i4() != 0) return CO_E_NOT_SUPPORTED;
  uint8_t time_code = 0;
  ZEL_TRY(UnitTimeCode(for_time, &time_code));
  ZEL_TRY(SendObjectCommand(command, time_code, id()));
  return RefreshCollection(kSlotZones);
}

HRESULT CZelTemperatureSensor::On(Variant for_time) {
  return OutputCommand(kCommandSensorOutputOn, for_time);
}
HRESULT CZelTemperatureSensor::Off(Variant for_time) {
  return OutputCommand(kCommandSensorOutputOff, for_time);
}

// ---- Tables ---------------------------------------------------------------------------------

const MemberTable& CZelTemperatureSensor::Members() {
  using T = CZelTemperatureSensor;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelTemperatureSensor")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Type", kDispidSensorType, &T::get_Type)
          .Get(Role::kRead, "Status", kDispidSensorStatus, &T::get_Status)
          .Get(Role::kRead, "Unit", kDispidSensorUnit, &T::get_Unit)
          .Get(Role::kRead, "Zone", kDispidSensorZone, &T::get_Zone)
          .Get(Role::kRead, "TemperatureF", kDispidSensorTemperatureF, &T::get_TemperatureF)
          .Get(Role::kRead, "TemperatureC", kDispidSensorTemperatureC, &T::get_TemperatureC)
          .Get(Role::kRead, "HeatSetpointF", kDispidSensorHeatSetpointF, &T::get_HeatSetpointF)
          .Put(Role::kControl, "HeatSetpointF", kDispidSensorHeatSetpointF, &T::put_HeatSetpointF,
               {"vtDegrees"})
          .Get(Role::kRead, "HeatSetpointC", kDispidSensorHeatSetpointC, &T::get_HeatSetpointC)
          .Put(Role::kControl, "HeatSetpointC", kDispidSensorHeatSetpointC, &T::put_HeatSetpointC,
               {"vtDegrees"})
          .Get(Role::kRead, "CoolSetpointF", kDispidSensorCoolSetpointF, &T::get_CoolSetpointF)
          .Put(Role::kControl, "CoolSetpointF", kDispidSensorCoolSetpointF, &T::put_CoolSetpointF,
               {"vtDegrees"})
          .Get(Role::kRead, "CoolSetpointC", kDispidSensorCoolSetpointC, &T::get_CoolSetpointC)
          .Put(Role::kControl, "CoolSetpointC", kDispidSensorCoolSetpointC, &T::put_CoolSetpointC,
               {"vtDegrees"})
          .Method(Role::kControl, "On", kDispidSensorOn, &T::On, {"vtForTime?"})
          .Method(Role::kControl, "Off", kDispidSensorOff, &T::Off, {"vtForTime?"})
          .Build();
  return table;
}

const PropertyMap& CZelTemperatureSensor::Properties() {
  static const PropertyMap map = [] {
    using T = CZelTemperatureSensor;
    PropertyMapBuilder<T> b;
    AddCommonProperties(b);
    b.Member<&T::status_>("STATUS", VT_UI2)
        .Property("TYPE", kDispidSensorType)
        .Property("TEMPERATUREF", kDispidSensorTemperatureF)
        .Property("TEMPERATUREC", kDispidSensorTemperatureC)
        .Property("HEATSETPOINTF", kDispidSensorHeatSetpointF)
        .Property("HEATSETPOINTC", kDispidSensorHeatSetpointC)
        .Property("COOLSETPOINTF", kDispidSensorCoolSetpointF)
        .Property("COOLSETPOINTC", kDispidSensorCoolSetpointC);
    return b.Build();
  }();
  return map;
}

}  // namespace zel
