#include "events/event_entries.h"

#include <string>

#include "model/collection_interfaces.h"
#include "platform/class_registry.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The 32-bit value of a variant of any numeric kind; other kinds give 0. The puts take values
// as given, without checking their type.
uint32_t LowBits(const Variant& value) {
  Variant wide;
  if (Failed(ChangeType(value, VT_I8, &wide))) return 0;
  return static_cast<uint32_t>(wide.i8());
}

// A server collection by slot.
HRESULT ServerCollection(int slot, ComPtr<IDispatch>* collection) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  return server->GetCollection(slot, collection->Receive());
}

// Looks an object number up by ID in a server collection: Item with the index left out and the
// key a 32-bit integer. Failures of the fetch or of Item are returned as they are.
HRESULT LookUp(int slot, uint32_t number, Variant* item) {
  if (item == nullptr) return E_POINTER;
  ComPtr<IDispatch> collection;
  ZEL_TRY(ServerCollection(slot, &collection));
  ComPtr<ICollection> c;
  ZEL_TRY(QueryAs<ICollection>(collection.get(), &c));
  return c->Item(Variant::Missing(), Variant::I4(static_cast<int32_t>(number)), item);
}

// A code number's element Name from Codes, as a string variant.
HRESULT CodeName(uint32_t number, Variant* name) {
  if (name == nullptr) return E_POINTER;
  Variant item;
  ZEL_TRY(LookUp(kSlotCodes, number, &item));
  if (item.vt() != VT_DISPATCH || item.dispatch() == nullptr) return E_UNEXPECTED;
  ComPtr<IZelCollectionElement> element;
  ZEL_TRY(QueryAs<IZelCollectionElement>(item.dispatch(), &element));
  BStr text;
  ZEL_TRY(element->get_Name(&text));
  *name = Variant::Str(std::move(text));
  return S_OK;
}

// Object number 0 stands for the whole collection; any other is looked up.
HRESULT ObjectOrAll(int slot, uint32_t number, Variant* out) {
  if (out == nullptr) return E_POINTER;
  if (number != 0) return LookUp(slot, number, out);
  ComPtr<IDispatch> collection;
  ZEL_TRY(ServerCollection(slot, &collection));
  *out = Variant::Dispatch(collection.get());
  return S_OK;
}

HRESULT Int(int32_t value, Variant* out) {
  if (out == nullptr) return E_POINTER;
  *out = Variant::I4(value);
  return S_OK;
}

HRESULT Bool(bool value, Variant* out) {
  if (out == nullptr) return E_POINTER;
  *out = Variant::Bool(value);
  return S_OK;
}

template <class T>
std::string ProgIdOf() {
  return "Corvane." + std::string(T::kTypeName.substr(1));
}

}  // namespace

// ---- EventCore ----------------------------------------------------------------------------

HRESULT EventCore::GetIndex(Variant* index) const {
  if (index == nullptr) return E_POINTER;
  *index = Variant::I4(static_cast<int32_t>(this->index()));
  return S_OK;
}

HRESULT EventCore::PutIndex(const Variant& index) {
  uint32_t value = LowBits(index);
  MutexLock g(&fields_mu_);
  index_ = value;
  return S_OK;
}

HRESULT EventCore::GetType(Variant* type) const {
  if (type == nullptr) return E_POINTER;
  *type = Variant::I4(this->type());
  return S_OK;
}

HRESULT EventCore::PutType(const Variant& type) {
  uint16_t value = static_cast<uint16_t>(LowBits(type));
  MutexLock g(&fields_mu_);
  type_ = value;
  return S_OK;
}

HRESULT EventCore::GetTime(Variant* time) const {
  if (time == nullptr) return E_POINTER;
  {
    MutexLock g(&fields_mu_);
    if (!time_unknown_) {
      *time = Variant::FromDate(Date{time_});
      return S_OK;
    }
  }
  // No time logged: the server's empty element stands for it.
  ComPtr<IDispatch> placeholder;
  if (ComPtr<CZelServer> server = ServerInstance())
    (void)server->GetEmptyElement(placeholder.Receive());
  *time = Variant::Dispatch(placeholder.get());
  return S_OK;
}

HRESULT EventCore::PutTime(const Variant& time) {
  // Only a date is taken; anything else (the unknown-time label) is ignored.
  if (time.vt() != VT_DATE) return S_OK;
  MutexLock g(&fields_mu_);
  time_ = time.date().value;
  time_unknown_ = false;
  return S_OK;
}

HRESULT EventCore::GetData(Variant* data) const {
  if (data == nullptr) return E_POINTER;
  *data = Variant::I4(static_cast<int32_t>(this->data()));
  return S_OK;
}

HRESULT EventCore::PutData(const Variant& data) {
  uint32_t value = LowBits(data);
  MutexLock g(&fields_mu_);
  data_ = value;
  return S_OK;
}

uint32_t EventCore::index() const {
  MutexLock g(&fields_mu_);
  return index_;
}

uint16_t EventCore::type() const {
  MutexLock g(&fields_mu_);
  return type_;
}

uint32_t EventCore::data() const {
  MutexLock g(&fields_mu_);
  return data_;
}

// ---- CZelAccessEvent ----------------------------------------------------------------------

HRESULT CZelAccessEvent::get_Code(Variant* code) { return CodeName(code_number(), code); }

const MemberTable& CZelAccessEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelAccessEvent>("CZelAccessEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "Code", kDispidAccessEventCode, &CZelAccessEvent::get_Code)
          .Build();
  return t;
}

const PropertyMap& CZelAccessEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelAccessEvent> b;
    AddCommonProperties(b);
    b.Property("CODE", kDispidAccessEventCode);
    return b.Build();
  }();
  return m;
}

// ---- CZelAlarmEvent -----------------------------------------------------------------------

HRESULT CZelAlarmEvent::get_AlarmType(Variant* type) {
  return Int(static_cast<int32_t>(code_number()), type);
}
HRESULT CZelAlarmEvent::get_Mode(Variant* mode) { return Int(type() - 0x87, mode); }
HRESULT CZelAlarmEvent::get_Area(Variant* area) {
  return LookUp(kSlotAreas, object_number(), area);
}

const MemberTable& CZelAlarmEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelAlarmEvent>("CZelAlarmEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "AlarmType", kDispidAlarmType, &CZelAlarmEvent::get_AlarmType)
          .Get(Role::kRead, "Mode", kDispidAlarmMode, &CZelAlarmEvent::get_Mode)
          .Get(Role::kRead, "Area", kDispidAlarmArea, &CZelAlarmEvent::get_Area)
          .Build();
  return t;
}

const PropertyMap& CZelAlarmEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelAlarmEvent> b;
    AddCommonProperties(b);
    b.Property("ALARMTYPE", kDispidAlarmType)
        .Property("MODE", kDispidAlarmMode)
        .Property("AREA", kDispidAlarmArea);
    return b.Build();
  }();
  return m;
}

// ---- CZelArmEvent -------------------------------------------------------------------------

HRESULT CZelArmEvent::get_AllAreas(Variant* all) { return Bool(object_number() == 0, all); }
HRESULT CZelArmEvent::get_Area(Variant* area) {
  return ObjectOrAll(kSlotAreas, object_number(), area);
}
HRESULT CZelArmEvent::get_SecurityMode(Variant* mode) { return Int(type() - 0x30, mode); }
HRESULT CZelArmEvent::get_Code(Variant* code) { return CodeName(code_number(), code); }

const MemberTable& CZelArmEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelArmEvent>("CZelArmEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "AllAreas", kDispidArmAllAreas, &CZelArmEvent::get_AllAreas)
          .Get(Role::kRead, "Area", kDispidArmArea, &CZelArmEvent::get_Area)
          .Get(Role::kRead, "SecurityMode", kDispidArmSecurityMode, &CZelArmEvent::get_SecurityMode)
          .Get(Role::kRead, "Code", kDispidArmCode, &CZelArmEvent::get_Code)
          .Build();
  return t;
}

const PropertyMap& CZelArmEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelArmEvent> b;
    AddCommonProperties(b);
    b.Property("ALLAREAS", kDispidArmAllAreas)
        .Property("AREA", kDispidArmArea)
        .Property("SECURITYMODE", kDispidArmSecurityMode)
        .Property("CODE", kDispidArmCode);
    return b.Build();
  }();
  return m;
}

// ---- CZelBypassEvent ----------------------------------------------------------------------

HRESULT CZelBypassEvent::get_Mode(Variant* mode) { return Int(type() == 0x04 ? 0 : 1, mode); }
HRESULT CZelBypassEvent::get_Zone(Variant* zone) {
  return LookUp(kSlotZones, object_number(), zone);
}
HRESULT CZelBypassEvent::get_Code(Variant* code) { return CodeName(code_number(), code); }

const MemberTable& CZelBypassEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelBypassEvent>("CZelBypassEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "Mode", kDispidBypassMode, &CZelBypassEvent::get_Mode)
          .Get(Role::kRead, "Zone", kDispidBypassZone, &CZelBypassEvent::get_Zone)
          .Get(Role::kRead, "Code", kDispidBypassCode, &CZelBypassEvent::get_Code)
          .Build();
  return t;
}

const PropertyMap& CZelBypassEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelBypassEvent> b;
    AddCommonProperties(b);
    b.Property("MODE", kDispidBypassMode)
        .Property("ZONE", kDispidBypassZone)
        .Property("CODE", kDispidBypassCode);
    return b.Build();
  }();
  return m;
}

// ---- CZelMessageEvent ---------------------------------------------------------------------

HRESULT CZelMessageEvent::get_Message(Variant* message) {
  return LookUp(kSlotMessages, object_number(), message);
}

const MemberTable& CZelMessageEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelMessageEvent>("CZelMessageEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "Message", kDispidMessageMessage, &CZelMessageEvent::get_Message)
          .Build();
  return t;
}

const PropertyMap& CZelMessageEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelMessageEvent> b;
    AddCommonProperties(b);
    b.Property("MESSAGE", kDispidMessageMessage);
    return b.Build();
  }();
  return m;
}

// ---- CZelRestoreEvent ---------------------------------------------------------------------

HRESULT CZelRestoreEvent::get_AllZones(Variant* all) {
  return Bool(type() == 0x06 && object_number() == 0, all);
}
HRESULT CZelRestoreEvent::get_Zone(Variant* zone) {
  return ObjectOrAll(kSlotZones, object_number(), zone);
}
HRESULT CZelRestoreEvent::get_Code(Variant* code) { return CodeName(code_number(), code); }

const MemberTable& CZelRestoreEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelRestoreEvent>("CZelRestoreEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "AllZones", kDispidRestoreAllZones, &CZelRestoreEvent::get_AllZones)
          .Get(Role::kRead, "Zone", kDispidRestoreZone, &CZelRestoreEvent::get_Zone)
          .Get(Role::kRead, "Code", kDispidRestoreCode, &CZelRestoreEvent::get_Code)
          .Build();
  return t;
}

const PropertyMap& CZelRestoreEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelRestoreEvent> b;
    AddCommonProperties(b);
    b.Property("ALLZONES", kDispidRestoreAllZones)
        .Property("ZONE", kDispidRestoreZone)
        .Property("CODE", kDispidRestoreCode);
    return b.Build();
  }();
  return m;
}

// ---- CZelTroubleEvent ---------------------------------------------------------------------

HRESULT CZelTroubleEvent::get_TroubleType(Variant* type) {
  uint16_t t = this->type();
  return Int(t == 0x80 ? 0 : t == 0x81 ? 1 : 2, type);
}
HRESULT CZelTroubleEvent::get_Zone(Variant* zone) {
  return LookUp(kSlotZones, object_number(), zone);
}

const MemberTable& CZelTroubleEvent::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelTroubleEvent>("CZelTroubleEvent")
          .Inherit(EventMembers())
          .Get(Role::kRead, "TroubleType", kDispidTroubleType, &CZelTroubleEvent::get_TroubleType)
          .Get(Role::kRead, "Zone", kDispidTroubleZone, &CZelTroubleEvent::get_Zone)
          .Build();
  return t;
}

const PropertyMap& CZelTroubleEvent::Properties() {
  static const PropertyMap m = [] {
    PropertyMapBuilder<CZelTroubleEvent> b;
    AddCommonProperties(b);
    b.Property("TROUBLETYPE", kDispidTroubleType).Property("ZONE", kDispidTroubleZone);
    return b.Build();
  }();
  return m;
}

// ---- Creation -----------------------------------------------------------------------------

HRESULT CreateEventEntry(EventClass c, IDispatch** entry) {
  if (entry == nullptr) return E_POINTER;
  switch (c) {
    case EventClass::kPlain:
      *entry = MakeObject<CZelEvent>().Detach();
      break;
    case EventClass::kAccess:
      *entry = MakeObject<CZelAccessEvent>().Detach();
      break;
    case EventClass::kAlarm:
      *entry = MakeObject<CZelAlarmEvent>().Detach();
      break;
    case EventClass::kArm:
      *entry = MakeObject<CZelArmEvent>().Detach();
      break;
    case EventClass::kBypass:
      *entry = MakeObject<CZelBypassEvent>().Detach();
      break;
    case EventClass::kMessage:
      *entry = MakeObject<CZelMessageEvent>().Detach();
      break;
    case EventClass::kRestore:
      *entry = MakeObject<CZelRestoreEvent>().Detach();
      break;
    case EventClass::kTrouble:
      *entry = MakeObject<CZelTroubleEvent>().Detach();
      break;
  }
  return *entry != nullptr ? S_OK : E_OUTOFMEMORY;
}

void RegisterEventEntryClasses() {
  ClassRegistry& r = ClassRegistry::Instance();
  r.Register(CZelEvent::kClsid, ProgIdOf<CZelEvent>(), FactoryOf<CZelEvent>());
  r.Register(CZelAccessEvent::kClsid, ProgIdOf<CZelAccessEvent>(), FactoryOf<CZelAccessEvent>());
  r.Register(CZelAlarmEvent::kClsid, ProgIdOf<CZelAlarmEvent>(), FactoryOf<CZelAlarmEvent>());
  r.Register(CZelArmEvent::kClsid, ProgIdOf<CZelArmEvent>(), FactoryOf<CZelArmEvent>());
  r.Register(CZelBypassEvent::kClsid, ProgIdOf<CZelBypassEvent>(), FactoryOf<CZelBypassEvent>());
  r.Register(CZelMessageEvent::kClsid, ProgIdOf<CZelMessageEvent>(), FactoryOf<CZelMessageEvent>());
  r.Register(CZelRestoreEvent::kClsid, ProgIdOf<CZelRestoreEvent>(), FactoryOf<CZelRestoreEvent>());
  r.Register(CZelTroubleEvent::kClsid, ProgIdOf<CZelTroubleEvent>(), FactoryOf<CZelTroubleEvent>());
}

}  // namespace zel
