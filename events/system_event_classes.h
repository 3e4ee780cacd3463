// The live system events: one 16-bit code from the controller's queue, kept with its position in
// the collection (Index) and the time it was read (Time). The kind of an event (its Type) is not
// stored: it is computed from the code by the classifier each time it is read, and the kind
// chooses the class that decodes the code's bit fields into properties:
//
//   class                      kinds   properties (DISPID)
//   CZelSystemEvent            1-14, 23, 24, 25   none of its own
//   CZelSystemMacroEvent       15      Button (0x567)
//   CZelSystemAlarmEvent       16      AlarmType (0x560), Area (0x561)
//   CZelSystemZoneEvent        17      State (0x574), Zone (0x575)
//   CZelSystemUnitEvent        18      State (0x56c), Unit (0x56d)
//   CZelSystemX10Event         19      State (0x570), AllUnits (0x571), HouseCode (0x572),
//                                      UnitNumber (0x573), Unit (0x574)
//   CZelSystemSecurityEvent    20      ExitDelay (0x568), SecurityMode (0x569), Area (0x56a),
//                                      SecurityCode (0x56b)
//   CZelSystemAllOnOffEvent    21      State (0x562), Area (0x563)
//   CZelSystemComposeEvent     22      State (0x564), HouseCode (0x565), Unit (0x566)
//   (no class)                 26, 27  access control and camera triggers: cannot be created
//
// Properties that name an object (Area, Zone, Unit, Button) are the item of the server's
// collection keyed by the number in the code (Item with the position left out), so they are the
// live elements; a number that names nothing gives the empty element with S_FALSE.
//
// Thread contract: free-threaded. mu_ of SystemEventCore guards index_, time_ and code_; it is
// never held while calling out (the server, a collection).
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "events/event_interfaces.h"
#include "platform/sync.h"

namespace zel {

// ---- The classifier ------------------------------------------------------------------------

// The kind of a code (the rules in order; the first that matches): 1 to 27.
int32_t SystemEventKind(uint32_t code);
// Kinds whose class does not exist (access control, camera triggers).
inline constexpr int32_t kKindAccessControl = 26;
inline constexpr int32_t kKindCameraTrigger = 27;
// The string resource of a kind's label (Name): 150 + kind.
inline constexpr uint32_t kSystemEventLabelBase = 150;

// Creates the event object of a code's class (not yet stamped with Index, Time and Code).
// Kinds 26 and 27: REGDB_E_CLASSNOTREG.
HRESULT CreateSystemEvent(uint32_t code, IDispatch** event);

// ---- Ids ------------------------------------------------------------------------------------
inline constexpr CLSID kClsidZelSystemEvent = ZelClassId(kIdCoclass, 0x72);
inline constexpr CLSID kClsidZelSystemAlarmEvent = ZelClassId(kIdCoclass, 0x73);
inline constexpr CLSID kClsidZelSystemAllOnOffEvent = ZelClassId(kIdCoclass, 0x74);
inline constexpr CLSID kClsidZelSystemComposeEvent = ZelClassId(kIdCoclass, 0x75);
inline constexpr CLSID kClsidZelSystemMacroEvent = ZelClassId(kIdCoclass, 0x76);
inline constexpr CLSID kClsidZelSystemSecurityEvent = ZelClassId(kIdCoclass, 0x77);
inline constexpr CLSID kClsidZelSystemUnitEvent = ZelClassId(kIdCoclass, 0x78);
inline constexpr CLSID kClsidZelSystemX10Event = ZelClassId(kIdCoclass, 0x79);
inline constexpr CLSID kClsidZelSystemZoneEvent = ZelClassId(kIdCoclass, 0x7A);

inline constexpr DISPID kDispidAlarmEventAlarmType = 0x560;
inline constexpr DISPID kDispidAlarmEventArea = 0x561;
inline constexpr DISPID kDispidAllOnOffEventState = 0x562;
inline constexpr DISPID kDispidAllOnOffEventArea = 0x563;
inline constexpr DISPID kDispidComposeEventState = 0x564;
inline constexpr DISPID kDispidComposeEventHouseCode = 0x565;
inline constexpr DISPID kDispidComposeEventUnit = 0x566;
inline constexpr DISPID kDispidMacroEventButton = 0x567;
inline constexpr DISPID kDispidSecurityEventExitDelay = 0x568;
inline constexpr DISPID kDispidSecurityEventSecurityMode = 0x569;
inline constexpr DISPID kDispidSecurityEventArea = 0x56a;
inline constexpr DISPID kDispidSecurityEventSecurityCode = 0x56b;
inline constexpr DISPID kDispidUnitEventState = 0x56c;
inline constexpr DISPID kDispidUnitEventUnit = 0x56d;
inline constexpr DISPID kDispidX10EventState = 0x570;
inline constexpr DISPID kDispidX10EventAllUnits = 0x571;
inline constexpr DISPID kDispidX10EventHouseCode = 0x572;
inline constexpr DISPID kDispidX10EventUnitNumber = 0x573;
inline constexpr DISPID kDispidX10EventUnit = 0x574;
inline constexpr DISPID kDispidZoneEventState = 0x574;
inline constexpr DISPID kDispidZoneEventZone = 0x575;

// ---- Class interfaces -----------------------------------------------------------------------
struct IZelSystemAlarmEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x73);
  virtual HRESULT get_AlarmType(Variant* value) = 0;
  virtual HRESULT get_Area(Variant* value) = 0;
};
struct IZelSystemAllOnOffEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x74);
  virtual HRESULT get_State(Variant* value) = 0;
  virtual HRESULT get_Area(Variant* value) = 0;
};
struct IZelSystemComposeEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x75);
  virtual HRESULT get_State(Variant* value) = 0;
  virtual HRESULT get_HouseCode(Variant* value) = 0;
  virtual HRESULT get_Unit(Variant* value) = 0;
};
struct IZelSystemMacroEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x76);
  virtual HRESULT get_Button(Variant* value) = 0;
};
struct IZelSystemSecurityEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x77);
  virtual HRESULT get_ExitDelay(Variant* value) = 0;
  virtual HRESULT get_SecurityMode(Variant* value) = 0;
  virtual HRESULT get_Area(Variant* value) = 0;
  virtual HRESULT get_SecurityCode(Variant* value) = 0;
};
struct IZelSystemUnitEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x78);
  virtual HRESULT get_State(Variant* value) = 0;
  virtual HRESULT get_Unit(Variant* value) = 0;
};
struct IZelSystemX10Event : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x79);
  virtual HRESULT get_State(Variant* value) = 0;
  virtual HRESULT get_AllUnits(Variant* value) = 0;
  virtual HRESULT get_HouseCode(Variant* value) = 0;
  virtual HRESULT get_UnitNumber(Variant* value) = 0;
  virtual HRESULT get_Unit(Variant* value) = 0;
};
struct IZelSystemZoneEvent : IZelSystemEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x7A);
  virtual HRESULT get_State(Variant* value) = 0;
  virtual HRESULT get_Zone(Variant* value) = 0;
};

// ---- Implementation -------------------------------------------------------------------------

// Index, Time and Code of every system event, and the members every class shares. Apart from
// the log's EventCore by design: these keep the variants as given, an entry keeps typed fields.
class SystemEventCore {
 public:
  HRESULT GetIndex(Variant* index) const;
  HRESULT PutIndex(Variant index);
  HRESULT GetName(BStr* name) const;
  HRESULT GetType(Variant* type) const;
  HRESULT GetTime(Variant* time) const;
  HRESULT PutTime(Variant time);
  HRESULT GetCode(Variant* code) const;
  HRESULT PutCode(Variant code);
  // The 32-bit value of Code (its variant type is not checked).
  uint32_t code() const;

 protected:
  SystemEventCore() = default;
  ~SystemEventCore() = default;

 private:
  mutable Mutex mu_;
  Variant index_ ZEL_GUARDED_BY(mu_);
  Variant time_ ZEL_GUARDED_BY(mu_);
  Variant code_ ZEL_GUARDED_BY(mu_);
};

// The item of a server collection keyed by number (Item with the position left out).
HRESULT SystemEventItem(int slot, int32_t key, Variant* item);
// A 32-bit integer property value.
HRESULT IntegerResult(int32_t value, Variant* out);

template <class T, class Interface>
class SystemEventImpl : public DispatchImpl<T, Interface>, public SystemEventCore {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    if constexpr (std::is_same_v<Interface, IZelSystemEvent>) {
      return QueryInterfaceFor<IZelSystemEvent, IZelEventCollectionElement, IDispatch>(
          static_cast<T*>(this), iid, ppv);
    } else {
      return QueryInterfaceFor<Interface, IZelSystemEvent, IZelEventCollectionElement, IDispatch>(
          static_cast<T*>(this), iid, ppv);
    }
  }

  // ---- IZelEventCollectionElement ----
  HRESULT get_Index(Variant* index) override { return GetIndex(index); }
  HRESULT put_Index(Variant index) override { return PutIndex(std::move(index)); }
  HRESULT get_Name(BStr* name) override { return GetName(name); }
  HRESULT put_Name(BStr) override { return E_NOTIMPL; }
  // Live system events have no snapshot layout yet: E_NOTIMPL.
  HRESULT SaveXML(Variant) override { return E_NOTIMPL; }
  HRESULT SaveXMLSnippet(Variant) override { return E_NOTIMPL; }
  // ---- IZelSystemEvent ----
  HRESULT get_Type(Variant* type) override { return GetType(type); }
  HRESULT get_Time(Variant* time) override { return GetTime(time); }
  HRESULT put_Time(Variant time) override { return PutTime(std::move(time)); }
  HRESULT get_Code(Variant* code) override { return GetCode(code); }
  HRESULT put_Code(Variant code) override { return PutCode(std::move(code)); }

  static const MemberTable& EventMembers() {
    static const MemberTable table = [] {
      using B = SystemEventImpl;
      MemberTableBuilder<T> b{std::string(T::kTypeName)};
      AddEventElementMembers<B>(b)
          .Get(Role::kRead, "Type", kDispidSystemEventType, &B::get_Type)
          .Put(Role::kAdmin, "Time", kDispidSystemEventTime, &B::put_Time, {"vtTime"})
          .Get(Role::kRead, "Time", kDispidSystemEventTime, &B::get_Time)
          .Put(Role::kAdmin, "Code", kDispidSystemEventCode, &B::put_Code, {"vtCode"})
          .Get(Role::kRead, "Code", kDispidSystemEventCode, &B::get_Code);
      return b.Build();
    }();
    return table;
  }
  // A class with properties of its own hides this with a table that inherits EventMembers().
  static const MemberTable& Members() { return EventMembers(); }

 protected:
  SystemEventImpl() = default;
  ~SystemEventImpl() override = default;
};

class CZelSystemEvent final : public SystemEventImpl<CZelSystemEvent, IZelSystemEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemEvent";
};

class CZelSystemAlarmEvent final
    : public SystemEventImpl<CZelSystemAlarmEvent, IZelSystemAlarmEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemAlarmEvent";
  HRESULT get_AlarmType(Variant* value) override;
  HRESULT get_Area(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemAllOnOffEvent final
    : public SystemEventImpl<CZelSystemAllOnOffEvent, IZelSystemAllOnOffEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemAllOnOffEvent";
  HRESULT get_State(Variant* value) override;
  HRESULT get_Area(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemComposeEvent final
    : public SystemEventImpl<CZelSystemComposeEvent, IZelSystemComposeEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemComposeEvent";
  HRESULT get_State(Variant* value) override;
  HRESULT get_HouseCode(Variant* value) override;
  HRESULT get_Unit(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemMacroEvent final
    : public SystemEventImpl<CZelSystemMacroEvent, IZelSystemMacroEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemMacroEvent";
  HRESULT get_Button(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemSecurityEvent final
    : public SystemEventImpl<CZelSystemSecurityEvent, IZelSystemSecurityEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemSecurityEvent";
  HRESULT get_ExitDelay(Variant* value) override;
  HRESULT get_SecurityMode(Variant* value) override;
  HRESULT get_Area(Variant* value) override;
  HRESULT get_SecurityCode(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemUnitEvent final : public SystemEventImpl<CZelSystemUnitEvent, IZelSystemUnitEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemUnitEvent";
  HRESULT get_State(Variant* value) override;
  HRESULT get_Unit(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemX10Event final : public SystemEventImpl<CZelSystemX10Event, IZelSystemX10Event> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemX10Event";
  HRESULT get_State(Variant* value) override;
  HRESULT get_AllUnits(Variant* value) override;
  HRESULT get_HouseCode(Variant* value) override;
  HRESULT get_UnitNumber(Variant* value) override;
  HRESULT get_Unit(Variant* value) override;
  static const MemberTable& Members();
};

class CZelSystemZoneEvent final : public SystemEventImpl<CZelSystemZoneEvent, IZelSystemZoneEvent> {
 public:
  static constexpr std::string_view kTypeName = "CZelSystemZoneEvent";
  HRESULT get_State(Variant* value) override;
  HRESULT get_Zone(Variant* value) override;
  static const MemberTable& Members();
};

}  // namespace zel
