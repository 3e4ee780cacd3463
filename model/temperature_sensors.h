// Temperature sensors: CZelTemperatureSensors holds CZelTemperatureSensor elements, zones of the
// controller that measure temperature (they share the zone name type 1).
//
// Poll: the generic one-element poll with message type 0x19 and one-byte numbers. Reply data,
// one byte each: 0 status, 1 temperature, 2 heat setpoint, 3 cool setpoint (raw bytes of the
// controller's encoding, temperature.h).
//
// Commands (command, first parameter, second parameter = the sensor's ID):
//   HeatSetpointF/C put   0x42, raw setpoint    then, after 1000 ms, a refresh of this sensor
//   CoolSetpointF/C put   0x43, raw setpoint    the same
//   On(for_time)          0x41, time code       then a poll of every zone
//   Off(for_time)         0x40, time code       the same
// The setpoints are not limited as a thermostat's are (0.0 and -40.0 still send raw 0); a value
// whose raw form does not fit one byte is refused with E_INVALIDARG and nothing is sent. On and
// Off apply only to sensors whose Type reads 0 (a zone with its own output); any other Type
// gives CO_E_NOT_SUPPORTED and nothing is sent.
//
// Type is the zone's type (SystemParametersInfo parameter 16) less 80. Unit leads to the
// paired output unit (unit_types.h PairedUnitNumber), Zone to the zone of the same number; each
// is looked up by ID on first read and kept.
//
// Thread contract: as every element (collection_element.h). The status fields are guarded by
// fields_mu(); links_mu_ guards unit_ and zone_ and is held while they are looked up (which
// calls the server's collections, never this sensor's fields lock). Commands and the 1000 ms
// pause run on the client's thread.
#pragma once

#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"
#include "model/temperature.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace zel {

inline constexpr DISPID kDispidSensorType = 0x580;
inline constexpr DISPID kDispidSensorStatus = 0x581;
inline constexpr DISPID kDispidSensorUnit = 0x582;
inline constexpr DISPID kDispidSensorZone = 0x583;
inline constexpr DISPID kDispidSensorTemperatureF = 0x584;
inline constexpr DISPID kDispidSensorTemperatureC = 0x585;
inline constexpr DISPID kDispidSensorHeatSetpointF = 0x586;
inline constexpr DISPID kDispidSensorHeatSetpointC = 0x587;
inline constexpr DISPID kDispidSensorCoolSetpointF = 0x588;
inline constexpr DISPID kDispidSensorCoolSetpointC = 0x589;
inline constexpr DISPID kDispidSensorOn = 0x6003000E;
inline constexpr DISPID kDispidSensorOff = 0x6003000F;

inline constexpr uint8_t MSG_SENSOR_STATUS = 0x19;
inline constexpr uint8_t kCommandSensorOutputOff = 0x40;
inline constexpr uint8_t kCommandSensorOutputOn = 0x41;
// A sensor's Type is its zone type less this.
inline constexpr int32_t kSensorZoneTypeBase = 80;
// The pause between a sensor setpoint command and the sensor's refresh.
inline constexpr Millis kSensorSetpointSettle{1000};

struct IZelTemperatureSensor : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelTemperatureSensor);
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_Status(int32_t* status) = 0;
  // The paired unit element, or an empty variant when there is none.
  virtual HRESULT get_Unit(Variant* unit) = 0;
  // The zone element of the same number, or an empty variant.
  virtual HRESULT get_Zone(Variant* zone) = 0;
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
  virtual HRESULT On(Variant for_time) = 0;
  virtual HRESULT Off(Variant for_time) = 0;
};

struct IZelTemperatureSensors : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelTemperatureSensors);
};

// The raw byte a sensor setpoint put sends: 0 for 0.0 and -40.0, else the conversion.
// E_INVALIDARG for a value that is not a finite number or whose raw form lies outside 0..255.
HRESULT SensorSetpointRaw(double degrees, TemperatureScale scale, uint8_t* raw);

class CZelTemperatureSensor final
    : public ZelCollectionElementImpl<CZelTemperatureSensor, IZelTemperatureSensor,
                                      /*name type*/ 1> {
 public:
  static constexpr CLSID kClsid = kClsidZelTemperatureSensor;
  static constexpr std::string_view kTypeName = "CZelTemperatureSensor";

  HRESULT get_Type(Variant* type) override;
  HRESULT get_Status(int32_t* status) override;
  HRESULT get_Unit(Variant* unit) override;
  HRESULT get_Zone(Variant* zone) override;
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
  HRESULT On(Variant for_time) override;
  HRESULT Off(Variant for_time) override;

  // Four data bytes (see the top of the file); a shorter reply: E_FAIL, every field unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  HRESULT Degrees(uint16_t CZelTemperatureSensor::*field, TemperatureScale scale, double* degrees);
  HRESULT PutSetpoint(uint8_t command, TemperatureScale scale, const Variant& degrees);
  HRESULT OutputCommand(uint8_t command, const Variant& for_time);
  // Looks up an element by ID in the server's collection of `slot` once, then returns it.
  HRESULT LinkedElement(int slot, uint16_t number, ComPtr<IDispatch>* kept, Variant* out);

  uint16_t status_ = 0;         // guarded by fields_mu()
  uint16_t temperature_ = 0;    // guarded by fields_mu()
  uint16_t heat_setpoint_ = 0;  // guarded by fields_mu()
  uint16_t cool_setpoint_ = 0;  // guarded by fields_mu()

  Mutex links_mu_;
  ComPtr<IDispatch> unit_ ZEL_GUARDED_BY(links_mu_);
  ComPtr<IDispatch> zone_ ZEL_GUARDED_BY(links_mu_);
};

inline constexpr CollectionTraits kTemperatureSensorsTraits{
    "CZelTemperatureSensors",   1,
    kClsidZelTemperatureSensor, "TEMPERATURESENSORS",
    MSG_SENSOR_STATUS,          /*long_numbers=*/false,
    &TemperatureSensorsInterval};

class CZelTemperatureSensors final
    : public ZelCollectionImpl<CZelTemperatureSensors, IZelTemperatureSensors,
                               kTemperatureSensorsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelTemperatureSensors;
};

}  // namespace zel
