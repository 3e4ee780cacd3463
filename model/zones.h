// Zones: CZelZones holds one CZelZone per security input (sensor loop) of the controller.
//
// Poll: the generic one-element poll with message type 0x15 and one-byte numbers (zones from
// 256 are never polled). The reply's first data byte is the zone's status, the second its loop
// reading. The status byte packs:
//   bits 0-1 CurrCondition, bits 2-3 AlarmStatus, bits 4-5 ArmingStatus, bit 6 HadTrouble,
//   bit 7 not interpreted.
// The values are the controller's; they are passed through as numbers.
//
// Type and Area of zones up to the model's zone count come from the setup block
// (SystemParametersInfo parameters 16 and 15, the zone's number less one in the high word);
// zones above it are system zones, described by the model's system zone table.
//
// Commands (command frame, then a refresh through the server's Zones collection):
//   IZelZone::Bypass   4, user number, zone ID      refresh: this zone
//   IZelZone::Restore  5, user number, zone ID      refresh: this zone
//   IZelZones::Restore 6, user number, 0            refresh: every zone
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// status_ and loop_reading_ are guarded by fields_mu(); commands run on the client's thread.
#pragma once

#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"

namespace zel {

inline constexpr DISPID kDispidZoneArea = 0x5B0;
inline constexpr DISPID kDispidZoneType = 0x5B1;
inline constexpr DISPID kDispidZoneCurrCondition = 0x5B2;
inline constexpr DISPID kDispidZoneAlarmStatus = 0x5B3;
inline constexpr DISPID kDispidZoneArmingStatus = 0x5B4;
inline constexpr DISPID kDispidZoneHadTrouble = 0x5B5;
inline constexpr DISPID kDispidZoneLoopReading = 0x5B6;
inline constexpr DISPID kDispidZoneBypass = 0x60030007;
inline constexpr DISPID kDispidZoneRestore = 0x60030008;
inline constexpr DISPID kDispidZonesRestore = 0x60040000;

inline constexpr uint8_t MSG_ZONE_STATUS = 0x15;
inline constexpr uint8_t kCommandBypassZone = 4;
inline constexpr uint8_t kCommandRestoreZone = 5;
inline constexpr uint8_t kCommandRestoreAllZones = 6;

// Byte 2 of the capability record: the number of zones the controller's setup describes.
inline constexpr size_t kCapZoneCount = 2;
// SystemParametersInfo parameters of a zone (sub-index = zone number less one).
inline constexpr uint32_t kParamZoneArea = 15;
inline constexpr uint32_t kParamZoneType = 16;

struct IZelZone : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelZone);
  // The IZelArea element of the zone's area (the empty element, S_FALSE, for an area number
  // that names no area).
  virtual HRESULT get_Area(IDispatch** area) = 0;
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_CurrCondition(int32_t* value) = 0;
  virtual HRESULT get_AlarmStatus(int32_t* value) = 0;
  virtual HRESULT get_ArmingStatus(int32_t* value) = 0;
  virtual HRESULT get_HadTrouble(VariantBool* value) = 0;
  virtual HRESULT get_LoopReading(int32_t* value) = 0;
  virtual HRESULT Bypass(Variant security_code) = 0;
  virtual HRESULT Restore(Variant security_code) = 0;
};

struct IZelZones : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelZones);
  // Restores every zone, then polls every zone.
  virtual HRESULT Restore(Variant security_code) = 0;
};

// The decoded fields of a zone status byte.
struct ZoneStatusFields {
  int32_t curr_condition = 0;
  int32_t alarm_status = 0;
  int32_t arming_status = 0;
  bool had_trouble = false;
};
ZoneStatusFields DecodeZoneStatus(uint8_t status);

class CZelZone final : public ZelCollectionElementImpl<CZelZone, IZelZone, /*name type*/ 1> {
 public:
  static constexpr CLSID kClsid = kClsidZelZone;
  static constexpr std::string_view kTypeName = "CZelZone";

  HRESULT get_Area(IDispatch** area) override;
  HRESULT get_Type(Variant* type) override;
  HRESULT get_CurrCondition(int32_t* value) override;
  HRESULT get_AlarmStatus(int32_t* value) override;
  HRESULT get_ArmingStatus(int32_t* value) override;
  HRESULT get_HadTrouble(VariantBool* value) override;
  HRESULT get_LoopReading(int32_t* value) override;
  HRESULT Bypass(Variant security_code) override;
  HRESULT Restore(Variant security_code) override;

  // Data byte 0: status; data byte 1: loop reading. A reply without both: E_FAIL, unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  // The zone's area number: parameter 15 or the system zone table.
  HRESULT AreaNumber(Variant* area);
  uint8_t status() const;
  // Sends a bypass or restore command for this zone and refreshes it.
  HRESULT ZoneCommand(uint8_t command, const Variant& security_code);

  uint16_t status_ = 0;        // guarded by fields_mu()
  uint16_t loop_reading_ = 0;  // guarded by fields_mu()
};

inline constexpr CollectionTraits kZonesTraits{
    "CZelZones",       1, kClsidZelZone, "ZONES", MSG_ZONE_STATUS, /*long_numbers=*/false,
    &NotPolledInterval};

class CZelZones final : public ZelCollectionImpl<CZelZones, IZelZones, kZonesTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelZones;
  HRESULT Restore(Variant security_code) override;
  static const MemberTable& Members();
};

}  // namespace zel
