// The entries of the event log: one automation object per record the controller logged, of the
// class its type code calls for (event_record.h):
//
//   CZelEvent         0x83, 0x89             Type, Time, Data only
//   CZelAccessEvent   0x82, 0x86             Code
//   CZelAlarmEvent    0x87, 0x88             AlarmType, Mode, Area
//   CZelArmEvent      0x30 to 0x36           AllAreas, Area, SecurityMode, Code
//   CZelBypassEvent   0x04, 0x84             Mode, Zone, Code
//   CZelMessageEvent  0x8A                   Message
//   CZelRestoreEvent  0x05, 0x06             AllZones, Zone, Code
//   CZelTroubleEvent  0x80, 0x81, 0x85       TroubleType, Zone
//
// Every entry has Index (its 1-based position in the log), Type, Time (a date, or while the
// record carried no time the server's empty element as the unknown-time placeholder) and Data
// (record byte 10 in bits 0-7, byte 12 in bits 16-23, byte 13 in bits 24-31). Of Data, the code
// number is bits 0-15 and the object number bits 16-23. Properties that name an object look the
// number up in the server's Areas, Codes, Messages or Zones collection by ID.
//
// Each class publishes "INDEX", "TYPE", "TIME", "DATA" and then its own keys to property-bag
// persistence, in that order.
//
// Thread contract: free-threaded. fields_mu_ guards the fields; it is held only to copy or
// store them, never while looking a number up in a collection.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "events/event_interfaces.h"
#include "events/event_record.h"
#include "model/property_map.h"
#include "model/xml_writer.h"
#include "platform/persist.h"
#include "platform/sync.h"

namespace zel {

// ---- Class ids: the event log's class and interface numbers are 0x60 to 0x6F ----------------
inline constexpr CLSID kClsidZelEvent = ZelClassId(kIdCoclass, 0x60);
inline constexpr CLSID kClsidZelEvents = ZelClassId(kIdCoclass, 0x61);
inline constexpr CLSID kClsidZelAccessEvent = ZelClassId(kIdCoclass, 0x62);
inline constexpr CLSID kClsidZelAlarmEvent = ZelClassId(kIdCoclass, 0x63);
inline constexpr CLSID kClsidZelArmEvent = ZelClassId(kIdCoclass, 0x64);
inline constexpr CLSID kClsidZelBypassEvent = ZelClassId(kIdCoclass, 0x65);
inline constexpr CLSID kClsidZelMessageEvent = ZelClassId(kIdCoclass, 0x66);
inline constexpr CLSID kClsidZelRestoreEvent = ZelClassId(kIdCoclass, 0x67);
inline constexpr CLSID kClsidZelTroubleEvent = ZelClassId(kIdCoclass, 0x68);

// ---- Dispids of the class properties ------------------------------------------------------
inline constexpr DISPID kDispidAccessEventCode = 0x543;
inline constexpr DISPID kDispidAlarmType = 0x544;
inline constexpr DISPID kDispidAlarmMode = 0x545;
inline constexpr DISPID kDispidAlarmArea = 0x546;
inline constexpr DISPID kDispidArmAllAreas = 0x547;
inline constexpr DISPID kDispidArmArea = 0x548;
inline constexpr DISPID kDispidArmSecurityMode = 0x549;
inline constexpr DISPID kDispidArmCode = 0x54A;
inline constexpr DISPID kDispidBypassMode = 0x54B;
inline constexpr DISPID kDispidBypassZone = 0x54C;
inline constexpr DISPID kDispidBypassCode = 0x54D;
inline constexpr DISPID kDispidMessageMessage = 0x54E;
inline constexpr DISPID kDispidRestoreAllZones = 0x54F;
inline constexpr DISPID kDispidRestoreZone = 0x550;
inline constexpr DISPID kDispidRestoreCode = 0x551;
inline constexpr DISPID kDispidTroubleType = 0x552;
inline constexpr DISPID kDispidTroubleZone = 0x553;

// ---- Class interfaces ---------------------------------------------------------------------
struct IZelAccessEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x62);
  virtual HRESULT get_Code(Variant* code) = 0;
};
struct IZelAlarmEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x63);
  virtual HRESULT get_AlarmType(Variant* type) = 0;
  virtual HRESULT get_Mode(Variant* mode) = 0;
  virtual HRESULT get_Area(Variant* area) = 0;
};
struct IZelArmEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x64);
  virtual HRESULT get_AllAreas(Variant* all) = 0;
  virtual HRESULT get_Area(Variant* area) = 0;
  virtual HRESULT get_SecurityMode(Variant* mode) = 0;
  virtual HRESULT get_Code(Variant* code) = 0;
};
struct IZelBypassEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x65);
  virtual HRESULT get_Mode(Variant* mode) = 0;
  virtual HRESULT get_Zone(Variant* zone) = 0;
  virtual HRESULT get_Code(Variant* code) = 0;
};
struct IZelMessageEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x66);
  virtual HRESULT get_Message(Variant* message) = 0;
};
struct IZelRestoreEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x67);
  virtual HRESULT get_AllZones(Variant* all) = 0;
  virtual HRESULT get_Zone(Variant* zone) = 0;
  virtual HRESULT get_Code(Variant* code) = 0;
};
struct IZelTroubleEvent : IZelEvent {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x68);
  virtual HRESULT get_TroubleType(Variant* type) = 0;
  virtual HRESULT get_Zone(Variant* zone) = 0;
};

// The fields and members every entry has. Apart from SystemEventCore by design: an entry keeps
// typed fields that persist to property bags, a system event keeps the variants it was given.
class EventCore {
 public:
  HRESULT GetIndex(Variant* index) const;
  HRESULT PutIndex(const Variant& index);
  HRESULT GetType(Variant* type) const;
  HRESULT PutType(const Variant& type);
  HRESULT GetTime(Variant* time) const;
  HRESULT PutTime(const Variant& time);
  HRESULT GetData(Variant* data) const;
  HRESULT PutData(const Variant& data);

  uint32_t index() const;
  uint16_t type() const;
  uint32_t data() const;
  // Data bits 0-15 and 16-23.
  uint32_t code_number() const { return data() & 0xFFFF; }
  uint32_t object_number() const { return (data() >> 16) & 0xFF; }

 protected:
  EventCore() = default;
  ~EventCore() = default;
  Mutex& fields_mu() const { return fields_mu_; }

  // Guarded by fields_mu_.
  uint32_t index_ = 0;
  uint16_t type_ = 0;
  double time_ = 0;
  bool time_unknown_ = true;
  uint32_t data_ = 0;

 private:
  mutable Mutex fields_mu_;
};

template <class T, class Interface>
class ZelEventImpl : public DispatchImpl<T, Interface>,
                     public IPersistPropertyBag,
                     public EventCore {
  static_assert(std::is_base_of_v<IZelEvent, Interface>);

 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<Interface, IZelEvent, IZelEventCollectionElement, IDispatch,
                             IPersistPropertyBag>(static_cast<T*>(this), iid, ppv);
  }

  // ---- IZelEventCollectionElement ----
  HRESULT get_Index(Variant* index) override { return GetIndex(index); }
  HRESULT put_Index(Variant index) override { return PutIndex(index); }
  HRESULT get_Name(BStr* name) override { return name == nullptr ? E_POINTER : E_NOTIMPL; }
  HRESULT put_Name(BStr /*name*/) override { return E_NOTIMPL; }
  // The event as XML, with and without the declaration (model/xml_writer.h).
  HRESULT SaveXML(Variant destination) override {
    return SaveElementXml(static_cast<T*>(this), destination, true);
  }
  HRESULT SaveXMLSnippet(Variant destination) override {
    return SaveElementXml(static_cast<T*>(this), destination, false);
  }

  // ---- IZelEvent ----
  HRESULT get_Type(Variant* type) override { return GetType(type); }
  HRESULT put_Type(Variant type) override { return PutType(type); }
  HRESULT get_Time(Variant* time) override { return GetTime(time); }
  HRESULT put_Time(Variant time) override { return PutTime(time); }
  HRESULT get_Data(Variant* data) override { return GetData(data); }
  HRESULT put_Data(Variant data) override { return PutData(data); }

  // ---- IPersistPropertyBag ----
  HRESULT GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = T::kClsid;
    return S_OK;
  }
  HRESULT InitNew() override { return S_OK; }
  HRESULT Load(IPropertyBag* bag) override {
    return LoadFromPropertyBag(T::Properties(), Target(), bag);
  }
  HRESULT Save(IPropertyBag* bag, bool /*clear_dirty*/, bool /*save_all*/) override {
    return SaveToPropertyBag(T::Properties(), Target(), bag);
  }

  static const MemberTable& EventMembers() {
    static const MemberTable table = [] {
      using B = ZelEventImpl;
      MemberTableBuilder<T> b{std::string(T::kTypeName)};
      AddEventElementMembers<B>(b)
          .Get(Role::kRead, "Type", kDispidLogEventType, &B::get_Type)
          .Put(Role::kAdmin, "Type", kDispidLogEventType, &B::put_Type, {"vtType"})
          .Get(Role::kRead, "Time", kDispidLogEventTime, &B::get_Time)
          .Put(Role::kAdmin, "Time", kDispidLogEventTime, &B::put_Time, {"vtTime"})
          .Get(Role::kRead, "Data", kDispidLogEventData, &B::get_Data)
          .Put(Role::kAdmin, "Data", kDispidLogEventData, &B::put_Data, {"vtData"});
      return b.Build();
    }();
    return table;
  }
  static const MemberTable& Members() { return EventMembers(); }

  static void AddCommonProperties(PropertyMapBuilder<T>& b) {
    using B = ZelEventImpl;
    b.template Member<&B::index_>("INDEX", VT_UI4)
        .template Member<&B::type_>("TYPE", VT_UI2)
        .Property("TIME", kDispidLogEventTime)
        .template Member<&B::data_>("DATA", VT_UI4);
  }
  static const PropertyMap& Properties() {
    static const PropertyMap map = [] {
      PropertyMapBuilder<T> b;
      AddCommonProperties(b);
      return b.Build();
    }();
    return map;
  }

 protected:
  ZelEventImpl() = default;
  ~ZelEventImpl() override = default;

 private:
  PropertyTarget Target() {
    T* self = static_cast<T*>(this);
    return PropertyTarget{static_cast<void*>(self), static_cast<Interface*>(self), &fields_mu()};
  }
};

// ---- The classes --------------------------------------------------------------------------

class CZelEvent final : public ZelEventImpl<CZelEvent, IZelEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelEvent;
  static constexpr std::string_view kTypeName = "CZelEvent";
};

class CZelAccessEvent final : public ZelEventImpl<CZelAccessEvent, IZelAccessEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelAccessEvent;
  static constexpr std::string_view kTypeName = "CZelAccessEvent";
  HRESULT get_Code(Variant* code) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelAlarmEvent final : public ZelEventImpl<CZelAlarmEvent, IZelAlarmEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelAlarmEvent;
  static constexpr std::string_view kTypeName = "CZelAlarmEvent";
  HRESULT get_AlarmType(Variant* type) override;
  HRESULT get_Mode(Variant* mode) override;
  HRESULT get_Area(Variant* area) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelArmEvent final : public ZelEventImpl<CZelArmEvent, IZelArmEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelArmEvent;
  static constexpr std::string_view kTypeName = "CZelArmEvent";
  HRESULT get_AllAreas(Variant* all) override;
  HRESULT get_Area(Variant* area) override;
  HRESULT get_SecurityMode(Variant* mode) override;
  HRESULT get_Code(Variant* code) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelBypassEvent final : public ZelEventImpl<CZelBypassEvent, IZelBypassEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelBypassEvent;
  static constexpr std::string_view kTypeName = "CZelBypassEvent";
  HRESULT get_Mode(Variant* mode) override;
  HRESULT get_Zone(Variant* zone) override;
  HRESULT get_Code(Variant* code) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelMessageEvent final : public ZelEventImpl<CZelMessageEvent, IZelMessageEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelMessageEvent;
  static constexpr std::string_view kTypeName = "CZelMessageEvent";
  HRESULT get_Message(Variant* message) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelRestoreEvent final : public ZelEventImpl<CZelRestoreEvent, IZelRestoreEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelRestoreEvent;
  static constexpr std::string_view kTypeName = "CZelRestoreEvent";
  HRESULT get_AllZones(Variant* all) override;
  HRESULT get_Zone(Variant* zone) override;
  HRESULT get_Code(Variant* code) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

class CZelTroubleEvent final : public ZelEventImpl<CZelTroubleEvent, IZelTroubleEvent> {
 public:
  static constexpr CLSID kClsid = kClsidZelTroubleEvent;
  static constexpr std::string_view kTypeName = "CZelTroubleEvent";
  HRESULT get_TroubleType(Variant* type) override;
  HRESULT get_Zone(Variant* zone) override;
  static const MemberTable& Members();
  static const PropertyMap& Properties();
};

// Creates an empty entry of a class (Type, Time and Data still to be put).
HRESULT CreateEventEntry(EventClass c, IDispatch** entry);

// Registers the entry classes by class id ("Corvane.ZelArmEvent", ...). Harmless to repeat.
void RegisterEventEntryClasses();

}  // namespace zel
