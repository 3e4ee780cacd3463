// Thermostats: CZelThermostats holds one CZelThermostat per thermostat of the controller.
//
// Poll: the generic one-element poll with message type 0x1E and one-byte numbers (thermostats
// from 256 are never polled). Reply data, one byte each: 0 status, 1 temperature, 2 heat
// setpoint, 3 cool setpoint, 4 system mode, 5 fan mode, 6 hold mode. Temperatures and setpoints
// are raw bytes of the controller's encoding (temperature.h), read in either scale.
//
// Commands (command, first parameter, second parameter = the thermostat's ID), each followed by
// a refresh of this thermostat through the server's Thermostats collection:
//   HeatSetpointF/C put   0x42, raw setpoint limited to 44..180 (0.0 and -40.0 send raw 0)
//   CoolSetpointF/C put   0x43, the same
//   SystemMode put        0x44, the value as one byte
//   FanMode put           0x45, the value as one byte
//   HoldMode put          0x46, the value as one byte
// Mode values are the controller's and pass unchecked; a value that does not convert to one
// byte (300, -1, "heat") is refused with the conversion's code and nothing is sent.
//
// Type comes from the setup block (SystemParametersInfo parameter 13, the thermostat's number
// less one in the high word).
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// The status fields are guarded by fields_mu(); commands run on the client's thread.
#pragma once

#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"
#include "model/temperature.h"

namespace zel {

inline constexpr DISPID kDispidThermostatType = 0x590;
inline constexpr DISPID kDispidThermostatStatus = 0x591;
inline constexpr DISPID kDispidThermostatTemperatureF = 0x592;
inline constexpr DISPID kDispidThermostatTemperatureC = 0x593;
inline constexpr DISPID kDispidThermostatHeatSetpointF = 0x594;
inline constexpr DISPID kDispidThermostatHeatSetpointC = 0x595;
inline constexpr DISPID kDispidThermostatCoolSetpointF = 0x596;
inline constexpr DISPID kDispidThermostatCoolSetpointC = 0x597;
inline constexpr DISPID kDispidThermostatSystemMode = 0x598;
inline constexpr DISPID kDispidThermostatFanMode = 0x599;
inline constexpr DISPID kDispidThermostatHoldMode = 0x59A;

inline constexpr uint8_t MSG_THERMOSTAT_STATUS = 0x1E;
inline constexpr uint8_t kCommandHeatSetpoint = 0x42;
inline constexpr uint8_t kCommandCoolSetpoint = 0x43;
inline constexpr uint8_t kCommandSystemMode = 0x44;
inline constexpr uint8_t kCommandFanMode = 0x45;
inline constexpr uint8_t kCommandHoldMode = 0x46;
// The raw setpoints a thermostat accepts; others are sent as the nearer limit.
inline constexpr int64_t kThermostatLowestSetpoint = 44;
inline constexpr int64_t kThermostatHighestSetpoint = 180;
// SystemParametersInfo parameter of a thermostat's type.
inline constexpr uint32_t kParamThermostatType = 13;

struct IZelThermostat : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelThermostat);
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_Status(int32_t* status) = 0;
  virtual HRESULT get_TemperatureF(double* degrees) = 0;
  virtual HRESULT get_TemperatureC(double* degrees) = 0;
  virtual HRESULT get_HeatSetpointF(double* degrees) = 0;
  virtual HRESULT put_HeatSetpointF(Variant degrees) = 0;
  virtual HRESULT get_HeatSetpointC(double* degrees) = 0;
  virtual HRESULT put_HeatSetpointC(Variant degrees) = 0;
  virtual HRESULT get_CoolSetpointF(double* degrees) = 0;
  virtual HRESULT put_CoolSetpointF(Variant degrees) = 0;
  virtual HRESULT get_CoolSetpointC(double* degrees) = 0;
  virtual HRESULT put_CoolSetpointC(Variant degrees) = 0;
  virtual HRESULT get_SystemMode(int32_t* mode) = 0;
  virtual HRESULT put_SystemMode(Variant mode) = 0;
  virtual HRESULT get_FanMode(int32_t* mode) = 0;
  virtual HRESULT put_FanMode(Variant mode) = 0;
  virtual HRESULT get_HoldMode(int32_t* mode) = 0;
  virtual HRESULT put_HoldMode(Variant mode) = 0;
};

struct IZelThermostats : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelThermostats);
};

// The raw byte a thermostat setpoint put sends: 0 for 0.0 and -40.0, otherwise the conversion
// limited to 44..180. E_INVALIDARG for a value that is not a finite number.
HRESULT ThermostatSetpointRaw(double degrees, TemperatureScale scale, uint8_t* raw);

class CZelThermostat final
    : public ZelCollectionElementImpl<CZelThermostat, IZelThermostat, /*name type*/ 6> {
 public:
  static constexpr CLSID kClsid = kClsidZelThermostat;
  static constexpr std::string_view kTypeName = "CZelThermostat";

  HRESULT get_Type(Variant* type) override;
  HRESULT get_Status(int32_t* status) override;
  HRESULT get_TemperatureF(double* degrees) override;
  HRESULT get_TemperatureC(double* degrees) override;
  HRESULT get_HeatSetpointF(double* degrees) override;
  HRESULT put_HeatSetpointF(Variant degrees) override;
  HRESULT get_HeatSetpointC(double* degrees) override;
  HRESULT put_HeatSetpointC(Variant degrees) override;
  HRESULT get_CoolSetpointF(double* degrees) override;
  HRESULT put_CoolSetpointF(Variant degrees) override;
  HRESULT get_CoolSetpointC(double* degrees) override;
  HRESULT put_CoolSetpointC(Variant degrees) override;
  HRESULT get_SystemMode(int32_t* mode) override;
  HRESULT put_SystemMode(Variant mode) override;
  HRESULT get_FanMode(int32_t* mode) override;
  HRESULT put_FanMode(Variant mode) override;
  HRESULT get_HoldMode(int32_t* mode) override;
  HRESULT put_HoldMode(Variant mode) override;

  // Seven data bytes (see the top of the file); a shorter reply: E_FAIL, every field unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  // A raw field read in a scale.
  HRESULT Degrees(uint16_t CZelThermostat::*field, TemperatureScale scale, double* degrees);
  HRESULT Byte(uint16_t CZelThermostat::*field, int32_t* value);
  HRESULT PutSetpoint(uint8_t command, TemperatureScale scale, const Variant& degrees);
  HRESULT PutMode(uint8_t command, const Variant& mode);
  // Sends a command for this thermostat and, once acknowledged, refreshes it.
  HRESULT ThermostatCommand(uint8_t command, uint8_t parameter1);

  uint16_t type_ = 0;           // guarded by fields_mu()
  uint16_t status_ = 0;         // guarded by fields_mu()
  uint16_t temperature_ = 0;    // guarded by fields_mu()
  uint16_t heat_setpoint_ = 0;  // guarded by fields_mu()
  uint16_t cool_setpoint_ = 0;  // guarded by fields_mu()
  uint16_t system_mode_ = 0;    // guarded by fields_mu()
  uint16_t fan_mode_ = 0;       // guarded by fields_mu()
  uint16_t hold_mode_ = 0;      // guarded by fields_mu()
};

inline constexpr CollectionTraits kThermostatsTraits{"CZelThermostats",      6,
                                                     kClsidZelThermostat,    "THERMOSTATS",
                                                     MSG_THERMOSTAT_STATUS,
                                                     /*long_numbers=*/false, &ThermostatsInterval};

class CZelThermostats final
    : public ZelCollectionImpl<CZelThermostats, IZelThermostats, kThermostatsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelThermostats;
};

}  // namespace zel
