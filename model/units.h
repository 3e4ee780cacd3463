// Units: CZelUnits holds one element per output of the controller; the element's class follows
// from the range its number falls into (the unit type rule, unit_types.h):
//   type 0 CZelX10Unit (x10_unit.h), 1 CZelVoltageUnit, 2 CZelExpansionUnit,
//   3 CZelCounterUnit (counter_unit.h), no type: the plain CZelUnit.
// Types 4 and 5 are the audio classes CZelAudioSource and CZelAudioZone (audio_sources.h,
// audio_zones.h), which are not units: the names download files them under AudioSources and
// AudioZones, numbered from 1.
//
// Every unit class is built on ZelUnitImpl, which adds to the element the unit status, the time
// remaining, Type, On and Off.
//
// Poll: the generic one-element poll with message type 0x17; units below 256 use the 7-byte
// request with one-byte numbers, units from 256 the 9-byte request with two-byte numbers. Reply
// data: byte 0 the status, bytes 1 (high) and 2 (low) the seconds a timed command has left.
//
// Commands go out as one command frame (command, one-byte parameter, two-byte parameter);
// after an acknowledged command the unit refreshes itself through the server's Units
// collection (Update(TRUE, its position)) and that is the call's result. The time code of the
// optional duration arguments is one byte, 0 when omitted, passed to the controller unchanged:
//   On 1, time code, ID        Off 0, time code, ID
//
// Thread contract: as every element (collection_element.h). status_ and time_remaining_ are
// guarded by fields_mu(); commands run on the client's thread.
#pragma once

#include <cstdint>
#include <string>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/object_commands.h"
#include "model/standard_collections.h"
#include "platform/sync.h"

namespace zel {

inline constexpr DISPID kDispidUnitType = 0x5A0;
inline constexpr DISPID kDispidUnitStatus = 0x5A1;
inline constexpr DISPID kDispidUnitTimeRemaining = 0x5A2;
inline constexpr DISPID kDispidUnitOn = 0x60030003;
inline constexpr DISPID kDispidUnitOff = 0x60030004;

inline constexpr uint8_t MSG_UNIT_STATUS = 0x17;
inline constexpr uint8_t kCommandUnitOff = 0;
inline constexpr uint8_t kCommandUnitOn = 1;

struct IZelUnit : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelUnit);
  // VT_I4 type code; a number in no range: empty and E_FAIL.
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_Status(int32_t* status) = 0;
  // "HH:MM:SS".
  virtual HRESULT get_TimeRemaining(BStr* time) = 0;
  virtual HRESULT On(Variant for_time) = 0;
  virtual HRESULT Off(Variant for_time) = 0;
};

// Voltage and expansion outputs have no members beyond the unit's.
struct IZelVoltageUnit : IZelUnit {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelVoltageUnit);
};
struct IZelExpansionUnit : IZelUnit {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelExpansionUnit);
};

struct IZelUnits : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelUnits);
};

// Seconds as "HH:MM:SS", two digits each (a 16-bit count stays below 24 hours).
std::string FormatTimeRemaining(uint16_t seconds);

// The Type of unit `number` on the connected controller as VT_I4; empty and E_FAIL for a number
// in no range.
HRESULT UnitTypeVariant(uint16_t number, Variant* type);
// The time code of an optional duration argument: 0 when omitted, else the argument as one
// byte (a failed conversion returns its code).
HRESULT UnitTimeCode(const Variant& argument, uint8_t* time_code);

// Shared body of every unit class. Interface derives from IZelUnit.
template <class T, class Interface>
class ZelUnitImpl : public ZelCollectionElementImpl<T, Interface, /*name type*/ 2> {
  static_assert(std::is_base_of_v<IZelUnit, Interface>);
  using Base = ZelCollectionElementImpl<T, Interface, 2>;

 public:
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    // IZelUnit lies between the class's interface and IZelCollectionElement.
    if (ppv != nullptr && iid == IZelUnit::kIid) {
      auto* unit = static_cast<IZelUnit*>(static_cast<T*>(this));
      unit->AddRef();
      *ppv = unit;
      return S_OK;
    }
    return this->QueryElementInterface(iid, ppv);
  }

  HRESULT get_Type(Variant* type) override { return UnitTypeVariant(this->id(), type); }
  HRESULT get_Status(int32_t* status) override {
    if (status == nullptr) return E_POINTER;
    MutexLock g(&this->fields_mu());
    *status = status_;
    return S_OK;
  }
  HRESULT get_TimeRemaining(BStr* time) override {
    if (time == nullptr) return E_POINTER;
    uint16_t seconds = 0;
    {
      MutexLock g(&this->fields_mu());
      seconds = time_remaining_;
    }
    *time = BStr(FormatTimeRemaining(seconds));
    return S_OK;
  }
  HRESULT On(Variant for_time) override { return TimedCommand(kCommandUnitOn, for_time); }
  HRESULT Off(Variant for_time) override { return TimedCommand(kCommandUnitOff, for_time); }

  // Data byte 0: status; bytes 1 and 2: time remaining, high byte first. A reply without all
  // three: E_FAIL, the status unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override {
    if (size < 4) return E_FAIL;
    MutexLock g(&this->fields_mu());
    status_ = data[0];
    time_remaining_ = static_cast<uint16_t>(data[1] << 8 | data[2]);
    return S_OK;
  }

  static const MemberTable& UnitMembers() {
    static const MemberTable table = [] {
      using U = ZelUnitImpl;
      MemberTableBuilder<T> b{std::string(T::kTypeName)};
      b.Inherit(Base::ElementMembers())
          .Get(Role::kRead, "Type", kDispidUnitType, &U::get_Type)
          .Get(Role::kRead, "Status", kDispidUnitStatus, &U::get_Status)
          .Get(Role::kRead, "TimeRemaining", kDispidUnitTimeRemaining, &U::get_TimeRemaining)
          .Method(Role::kControl, "On", kDispidUnitOn, &U::On, {"vtForTime?"})
          .Method(Role::kControl, "Off", kDispidUnitOff, &U::Off, {"vtForTime?"});
      return b.Build();
    }();
    return table;
  }
  static const MemberTable& Members() { return UnitMembers(); }

  // The common entries, then "TYPE", "STATUS", "TIMEREMAINING".
  static void AddUnitProperties(PropertyMapBuilder<T>& b) {
    Base::AddCommonProperties(b);
    b.Property("TYPE", kDispidUnitType)
        .template Member<&ZelUnitImpl::status_>("STATUS", VT_UI2)
        .Property("TIMEREMAINING", kDispidUnitTimeRemaining);
  }
  static const PropertyMap& Properties() {
    static const PropertyMap map = [] {
      PropertyMapBuilder<T> b;
      AddUnitProperties(b);
      return b.Build();
    }();
    return map;
  }

 protected:
  ZelUnitImpl() = default;
  ~ZelUnitImpl() override = default;

  uint8_t status_byte() const {
    MutexLock g(&this->fields_mu());
    return static_cast<uint8_t>(status_);
  }

  // Sends a command for this unit and, once acknowledged, refreshes it.
  HRESULT UnitCommand(uint8_t command, uint8_t parameter1, uint16_t parameter2) {
    ZEL_TRY(SendObjectCommand(command, parameter1, parameter2));
    return RefreshElement(kSlotUnits, static_cast<IZelUnit*>(static_cast<T*>(this)), this->index());
  }
  // A command whose first parameter is the time code of an optional duration argument.
  HRESULT TimedCommand(uint8_t command, const Variant& for_time) {
    uint8_t time_code = 0;
    ZEL_TRY(UnitTimeCode(for_time, &time_code));
    return UnitCommand(command, time_code, this->id());
  }

 private:
  uint16_t status_ = 0;          // guarded by fields_mu()
  uint16_t time_remaining_ = 0;  // seconds; guarded by fields_mu()
};

// The plain unit: only the members every unit has.
class CZelUnit final : public ZelUnitImpl<CZelUnit, IZelUnit> {
 public:
  static constexpr CLSID kClsid = kClsidZelUnit;
  static constexpr std::string_view kTypeName = "CZelUnit";
};

class CZelVoltageUnit final : public ZelUnitImpl<CZelVoltageUnit, IZelVoltageUnit> {
 public:
  static constexpr CLSID kClsid = kClsidZelVoltageUnit;
  static constexpr std::string_view kTypeName = "CZelVoltageUnit";
};

class CZelExpansionUnit final : public ZelUnitImpl<CZelExpansionUnit, IZelExpansionUnit> {
 public:
  static constexpr CLSID kClsid = kClsidZelExpansionUnit;
  static constexpr std::string_view kTypeName = "CZelExpansionUnit";
};

inline constexpr CollectionTraits kUnitsTraits{
    "CZelUnits", 2, kClsidZelUnit, "UNITS", MSG_UNIT_STATUS, /*long_numbers=*/true, &UnitsInterval};

class CZelUnits final : public ZelCollectionImpl<CZelUnits, IZelUnits, kUnitsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelUnits;
};

}  // namespace zel
