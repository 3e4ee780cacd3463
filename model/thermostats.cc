#include "model/thermostats.h"

#include <algorithm>

#include "link/convert_argument.h"
#include "model/object_commands.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {

HRESULT ThermostatSetpointRaw(double degrees, TemperatureScale scale, uint8_t* raw) {
  int64_t value = 0;
  if (!EncodeTemperature(degrees, scale, &value)) return E_INVALIDARG;
  // The "no value" of 0.0 and -40.0 goes out as raw 0; every other value is limited, also one
  // that merely rounds to 0 (-39.6 F).
  if (degrees != 0.0 && degrees != -40.0) {
    value = std::clamp(value, kThermostatLowestSetpoint, kThermostatHighestSetpoint);
  }
  *raw = static_cast<uint8_t>(value);
  return S_OK;
}

// ---- Status ---------------------------------------------------------------------------------

HRESULT CZelThermostat::LoadStatus(const uint8_t* data, uint32_t size) {
  // `size` is the length byte: the type byte plus seven data bytes.
  if (size < 8) return E_FAIL;
  MutexLock g(&fields_mu());
  status_ = data[0];
  temperature_ = data[1];
  heat_setpoint_ = data[2];
  cool_setpoint_ = data[3];
  system_mode_ = data[4];
  fan_mode_ = data[5];
  hold_mode_ = data[6];
  return S_OK;
}

HRESULT CZelThermostat::Degrees(uint16_t CZelThermostat::*field, TemperatureScale scale,
                                double* degrees) {
  if (degrees == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *degrees = DecodeTemperature(static_cast<uint8_t>(this->*field), scale);
  return S_OK;
}

HRESULT CZelThermostat::Byte(uint16_t CZelThermostat::*field, int32_t* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *value = this->*field;
  return S_OK;
}

HRESULT CZelThermostat::get_Type(Variant* type) {
  if (type == nullptr) return E_POINTER;
  type->Clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  uint32_t sub_index = static_cast<uint16_t>(id() - 1);
  return server->SystemParameter(ParameterIndex(kParamThermostatType, sub_index), type);
}

HRESULT CZelThermostat::get_Status(int32_t* status) {
  return Byte(&CZelThermostat::status_, status);
}

HRESULT CZelThermostat::get_TemperatureF(double* degrees) {
  return Degrees(&CZelThermostat::temperature_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelThermostat::get_TemperatureC(double* degrees) {
  return Degrees(&CZelThermostat::temperature_, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelThermostat::get_HeatSetpointF(double* degrees) {
  return Degrees(&CZelThermostat::heat_setpoint_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelThermostat::get_HeatSetpointC(double* degrees) {
  return Degrees(&CZelThermostat::heat_setpoint_, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelThermostat::get_CoolSetpointF(double* degrees) {
  return Degrees(&CZelThermostat::cool_setpoint_, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelThermostat::get_CoolSetpointC(double* degrees) {
  return Degrees(&CZelThermostat::cool_setpoint_, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelThermostat::get_SystemMode(int32_t* mode) {
  return Byte(&CZelThermostat::system_mode_, mode);
}
HRESULT CZelThermostat::get_FanMode(int32_t* mode) {
  return Byte(&CZelThermostat::fan_mode_, mode);
}
HRESULT CZelThermostat::get_HoldMode(int32_t* mode) {
  return Byte(&CZelThermostat::hold_mode_, mode);
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZelThermostat::ThermostatCommand(uint8_t command, uint8_t parameter1) {
  ZEL_TRY(SendObjectCommand(command, parameter1, id()));
  return RefreshElement(kSlotThermostats, static_cast<IZelThermostat*>(this), index());
}

HRESULT CZelThermostat::PutSetpoint(uint8_t command, TemperatureScale scale,
                                    const Variant& degrees) {
  double value = 0;
  ZEL_TRY(SetpointArgument(degrees, &value));
  uint8_t raw = 0;
  ZEL_TRY(ThermostatSetpointRaw(value, scale, &raw));
  return ThermostatCommand(command, raw);
}

HRESULT CZelThermostat::PutMode(uint8_t command, const Variant& mode) {
  Variant value;
  ZEL_TRY(ConvertArgument(mode, VT_UI1, &value));
  return ThermostatCommand(command, value.ui1());
}

HRESULT CZelThermostat::put_HeatSetpointF(Variant degrees) {
  return PutSetpoint(kCommandHeatSetpoint, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelThermostat::put_HeatSetpointC(Variant degrees) {
  return PutSetpoint(kCommandHeatSetpoint, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelThermostat::put_CoolSetpointF(Variant degrees) {
  return PutSetpoint(kCommandCoolSetpoint, TemperatureScale::kFahrenheit, degrees);
}
HRESULT CZelThermostat::put_CoolSetpointC(Variant degrees) {
  return PutSetpoint(kCommandCoolSetpoint, TemperatureScale::kCelsius, degrees);
}
HRESULT CZelThermostat::put_SystemMode(Variant mode) { return PutMode(kCommandSystemMode, mode); }
HRESULT CZelThermostat::put_FanMode(Variant mode) { return PutMode(kCommandFanMode, mode); }
HRESULT CZelThermostat::put_HoldMode(Variant mode) { return PutMode(kCommandHoldMode, mode); }

// ---- Tables ---------------------------------------------------------------------------------

const MemberTable& CZelThermostat::Members() {
  using T = CZelThermostat;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelThermostat")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Type", kDispidThermostatType, &T::get_Type)
          .Get(Role::kRead, "Status", kDispidThermostatStatus, &T::get_Status)
          .Get(Role::kRead, "TemperatureF", kDispidThermostatTemperatureF, &T::get_TemperatureF)
          .Get(Role::kRead, "TemperatureC", kDispidThermostatTemperatureC, &T::get_TemperatureC)
          .Get(Role::kRead, "HeatSetpointF", kDispidThermostatHeatSetpointF, &T::get_HeatSetpointF)
          .Put(Role::kControl, "HeatSetpointF", kDispidThermostatHeatSetpointF,
               &T::put_HeatSetpointF, {"vtDegrees"})
          .Get(Role::kRead, "HeatSetpointC", kDispidThermostatHeatSetpointC, &T::get_HeatSetpointC)
          .Put(Role::kControl, "HeatSetpointC", kDispidThermostatHeatSetpointC,
               &T::put_HeatSetpointC, {"vtDegrees"})
          .Get(Role::kRead, "CoolSetpointF", kDispidThermostatCoolSetpointF, &T::get_CoolSetpointF)
          .Put(Role::kControl, "CoolSetpointF", kDispidThermostatCoolSetpointF,
               &T::put_CoolSetpointF, {"vtDegrees"})
          .Get(Role::kRead, "CoolSetpointC", kDispidThermostatCoolSetpointC, &T::get_CoolSetpointC)
          .Put(Role::kControl, "CoolSetpointC", kDispidThermostatCoolSetpointC,
               &T::put_CoolSetpointC, {"vtDegrees"})
          .Get(Role::kRead, "SystemMode", kDispidThermostatSystemMode, &T::get_SystemMode)
          .Put(Role::kControl, "SystemMode", kDispidThermostatSystemMode, &T::put_SystemMode,
               {"vtMode"})
          .Get(Role::kRead, "FanMode", kDispidThermostatFanMode, &T::get_FanMode)
          .Put(Role::kControl, "FanMode", kDispidThermostatFanMode, &T::put_FanMode, {"vtMode"})
          .Get(Role::kRead, "HoldMode", kDispidThermostatHoldMode, &T::get_HoldMode)
          .Put(Role::kControl, "HoldMode", kDispidThermostatHoldMode, &T::put_HoldMode, {"vtMode"})
          .Build();
  return table;
}

const PropertyMap& CZelThermostat::Properties() {
  static const PropertyMap map = [] {
    using T = CZelThermostat;
    PropertyMapBuilder<T> b;
    AddCommonProperties(b);
    b.Member<&T::type_>("TYPE", VT_UI2)
        .Member<&T::status_>("STATUS", VT_UI2)
        .Property("TEMPERATUREF", kDispidThermostatTemperatureF)
        .Property("TEMPERATUREC", kDispidThermostatTemperatureC)
        .Property("HEATSETPOINTF", kDispidThermostatHeatSetpointF)
        .Property("HEATSETPOINTC", kDispidThermostatHeatSetpointC)
        .Property("COOLSETPOINTF", kDispidThermostatCoolSetpointF)
        .Property("COOLSETPOINTC", kDispidThermostatCoolSetpointC)
        .Member<&T::system_mode_>("SYSTEMMODE", VT_UI2)
        .Member<&T::fan_mode_>("FANMODE", VT_UI2)
        .Member<&T::hold_mode_>("HOLDMODE", VT_UI2);
    return b.Build();
  }();
  return map;
}

}  // namespace zel
