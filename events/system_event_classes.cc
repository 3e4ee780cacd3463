#include "events/system_event_classes.h"

#include "model/collection_interfaces.h"
#include "platform/resource_library.h"
#include "server/zel_server.h"

namespace zel {

// ---- Classifier -------------------------------------------------------------------------------

int32_t SystemEventKind(uint32_t code) {
  if ((code & 0xFF00) == 0x0200) return 16;  // alarm activated
  if ((code & 0xFC00) == 0x0400) return 17;  // zone state
  if ((code & 0xFC00) == 0x0800) return 18;  // unit state
  if ((code & 0xFC00) == 0x0C00) return 19;  // X10 code
  if ((code & 0xFC00) == 0xFC00) return 24;  // lighting network link
  if ((code & 0xF000) == 0xF000) return 23;  // lighting network switch press
  if ((code & 0xF000) == 0x7000) return 22;  // compose code
  if ((code & 0xFFE0) == 0x03E0) return 21;  // all on / all off
  if ((code & 0xFFF0) == 0x03D0) return kKindAccessControl;
  if ((code & 0xFF00) == 0) return 15;  // macro button
  // Left to us: 0x0140-0x017F and 0x01C0-0x01FF fall through to the security events, as the
  // rules have it; only the rest of the 0x01xx block is kind 25.
  if ((code & 0xFF40) == 0x0100) return 25;
  if (code >= 0x0300 && code <= 0x030D) return static_cast<int32_t>(code - 0x0300 + 1);  // 1-14
  if (code >= 0x030E && code <= 0x0313) return kKindCameraTrigger;
  return 20;  // security arming, and every other code
}

HRESULT CreateSystemEvent(uint32_t code, IDispatch** event) {
  if (event == nullptr) return E_POINTER;
  *event = nullptr;
  switch (SystemEventKind(code)) {
    case 15:
      *event = MakeObject<CZelSystemMacroEvent>().Detach();
      break;
    case 16:
      *event = MakeObject<CZelSystemAlarmEvent>().Detach();
      break;
    case 17:
      *event = MakeObject<CZelSystemZoneEvent>().Detach();
      break;
    case 18:
      *event = MakeObject<CZelSystemUnitEvent>().Detach();
      break;
    case 19:
      *event = MakeObject<CZelSystemX10Event>().Detach();
      break;
    case 20:
      *event = MakeObject<CZelSystemSecurityEvent>().Detach();
      break;
    case 21:
      *event = MakeObject<CZelSystemAllOnOffEvent>().Detach();
      break;
    case 22:
      *event = MakeObject<CZelSystemComposeEvent>().Detach();
      break;
    case kKindAccessControl:
    case kKindCameraTrigger:
      return REGDB_E_CLASSNOTREG;
    default:  // 1 to 14, 23, 24, 25
      *event = MakeObject<CZelSystemEvent>().Detach();
      break;
  }
  return S_OK;
}

// ---- Shared members ---------------------------------------------------------------------------

HRESULT SystemEventCore::GetIndex(Variant* index) const {
  if (index == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *index = index_;
  return S_OK;
}

HRESULT SystemEventCore::PutIndex(Variant index) {
  MutexLock g(&mu_);
  index_ = std::move(index);
  return S_OK;
}

HRESULT SystemEventCore::GetName(BStr* name) const {
  if (name == nullptr) return E_POINTER;
  BStr label;
  // No catalogue, or no text for the kind: an empty name.
  if (Failed(LoadResourceString(
          kSystemEventLabelBase + static_cast<uint32_t>(SystemEventKind(code())), &label))) {
    label = BStr(std::string());
  }
  *name = std::move(label);
  return S_OK;
}

HRESULT SystemEventCore::GetType(Variant* type) const {
  if (type == nullptr) return E_POINTER;
  *type = Variant::I4(SystemEventKind(code()));
  return S_OK;
}

HRESULT SystemEventCore::GetTime(Variant* time) const {
  if (time == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *time = time_;
  return S_OK;
}

HRESULT SystemEventCore::PutTime(Variant time) {
  MutexLock g(&mu_);
  time_ = std::move(time);
  return S_OK;
}

HRESULT SystemEventCore::GetCode(Variant* code) const {
  if (code == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *code = code_;
  return S_OK;
}

HRESULT SystemEventCore::PutCode(Variant code) {
  MutexLock g(&mu_);
  code_ = std::move(code);
  return S_OK;
}

uint32_t SystemEventCore::code() const {
  MutexLock g(&mu_);
  return code_.ui4();
}

HRESULT SystemEventItem(int slot, int32_t key, Variant* item) {
  if (item == nullptr) return E_POINTER;
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  ComPtr<IDispatch> dispatch;
  ZEL_TRY(server->GetCollection(slot, dispatch.Receive()));
  ComPtr<ICollection> collection;
  ZEL_TRY(QueryAs<ICollection>(dispatch.get(), &collection));
  return collection->Item(Variant::Missing(), Variant::I4(key), item);
}

HRESULT IntegerResult(int32_t value, Variant* out) {
  if (out == nullptr) return E_POINTER;
  *out = Variant::I4(value);
  return S_OK;
}

namespace {

// Shifts are arithmetic on the code's 32-bit value.
int32_t Bits(uint32_t code, int shift, int32_t mask) {
  return (static_cast<int32_t>(code) >> shift) & mask;
}

}  // namespace

// ---- Classes ----------------------------------------------------------------------------------

HRESULT CZelSystemAlarmEvent::get_AlarmType(Variant* value) {
  return IntegerResult(Bits(code(), 4, 0xF), value);
}
HRESULT CZelSystemAlarmEvent::get_Area(Variant* value) {
  return SystemEventItem(kSlotAreas, Bits(code(), 0, 0xF), value);
}
const MemberTable& CZelSystemAlarmEvent::Members() {
  using T = CZelSystemAlarmEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "AlarmType", kDispidAlarmEventAlarmType, &T::get_AlarmType)
          .Get(Role::kRead, "Area", kDispidAlarmEventArea, &T::get_Area)
          .Build();
  return table;
}

HRESULT CZelSystemAllOnOffEvent::get_State(Variant* value) {
  return IntegerResult(Bits(code(), 4, 1), value);
}
HRESULT CZelSystemAllOnOffEvent::get_Area(Variant* value) {
  return SystemEventItem(kSlotAreas, Bits(code(), 0, 0xF), value);
}
const MemberTable& CZelSystemAllOnOffEvent::Members() {
  using T = CZelSystemAllOnOffEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "State", kDispidAllOnOffEventState, &T::get_State)
          .Get(Role::kRead, "Area", kDispidAllOnOffEventArea, &T::get_Area)
          .Build();
  return table;
}

HRESULT CZelSystemComposeEvent::get_State(Variant* value) {
  return IntegerResult(Bits(code(), 8, 0xF), value);
}
HRESULT CZelSystemComposeEvent::get_HouseCode(Variant* value) {
  return IntegerResult(Bits(code(), 4, 0xF), value);
}
HRESULT CZelSystemComposeEvent::get_Unit(Variant* value) {
  return IntegerResult(Bits(code(), 0, 0xF), value);
}
const MemberTable& CZelSystemComposeEvent::Members() {
  using T = CZelSystemComposeEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "State", kDispidComposeEventState, &T::get_State)
          .Get(Role::kRead, "HouseCode", kDispidComposeEventHouseCode, &T::get_HouseCode)
          .Get(Role::kRead, "Unit", kDispidComposeEventUnit, &T::get_Unit)
          .Build();
  return table;
}

HRESULT CZelSystemMacroEvent::get_Button(Variant* value) {
  return SystemEventItem(kSlotButtons, Bits(code(), 0, 0xFF), value);
}
const MemberTable& CZelSystemMacroEvent::Members() {
  using T = CZelSystemMacroEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "Button", kDispidMacroEventButton, &T::get_Button)
          .Build();
  return table;
}

HRESULT CZelSystemSecurityEvent::get_ExitDelay(Variant* value) {
  return IntegerResult(Bits(code(), 15, 1), value);
}
HRESULT CZelSystemSecurityEvent::get_SecurityMode(Variant* value) {
  return IntegerResult(Bits(code(), 12, 7), value);
}
HRESULT CZelSystemSecurityEvent::get_Area(Variant* value) {
  return SystemEventItem(kSlotAreas, Bits(code(), 8, 0xF), value);
}
HRESULT CZelSystemSecurityEvent::get_SecurityCode(Variant* value) {
  if (value == nullptr) return E_POINTER;
  Variant item;
  ZEL_TRY(SystemEventItem(kSlotCodes, Bits(code(), 0, 0xFF), &item));
  if (item.vt() != VT_DISPATCH || item.dispatch() == nullptr) return E_UNEXPECTED;
  return GetProperty(item.dispatch(), "ID", value);
}
const MemberTable& CZelSystemSecurityEvent::Members() {
  using T = CZelSystemSecurityEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "ExitDelay", kDispidSecurityEventExitDelay, &T::get_ExitDelay)
          .Get(Role::kRead, "SecurityMode", kDispidSecurityEventSecurityMode, &T::get_SecurityMode)
          .Get(Role::kRead, "Area", kDispidSecurityEventArea, &T::get_Area)
          .Get(Role::kRead, "SecurityCode", kDispidSecurityEventSecurityCode, &T::get_SecurityCode)
          .Build();
  return table;
}

HRESULT CZelSystemUnitEvent::get_State(Variant* value) {
  return IntegerResult(Bits(code(), 9, 1), value);
}
HRESULT CZelSystemUnitEvent::get_Unit(Variant* value) {
  return SystemEventItem(kSlotUnits, Bits(code(), 0, 0x1FF), value);
}
const MemberTable& CZelSystemUnitEvent::Members() {
  using T = CZelSystemUnitEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "State", kDispidUnitEventState, &T::get_State)
          .Get(Role::kRead, "Unit", kDispidUnitEventUnit, &T::get_Unit)
          .Build();
  return table;
}

HRESULT CZelSystemX10Event::get_State(Variant* value) {
  return IntegerResult(Bits(code(), 9, 1), value);
}
HRESULT CZelSystemX10Event::get_AllUnits(Variant* value) {
  if (value == nullptr) return E_POINTER;
  *value = Variant::Bool((code() & 0x100) != 0);
  return S_OK;
}
HRESULT CZelSystemX10Event::get_HouseCode(Variant* value) {
  return IntegerResult(Bits(code(), 4, 0xF), value);
}
HRESULT CZelSystemX10Event::get_UnitNumber(Variant* value) {
  return IntegerResult(Bits(code(), 0, 0xF), value);
}
HRESULT CZelSystemX10Event::get_Unit(Variant* value) {
  if (value == nullptr) return E_POINTER;
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  ComPtr<IDispatch> dispatch;
  ZEL_TRY(server->GetCollection(kSlotUnits, dispatch.Receive()));
  ComPtr<IZelCollection> units;
  if (Failed(QueryAs<IZelCollection>(dispatch.get(), &units))) return E_UNEXPECTED;
  // The unit of house code H, unit U: (H - P) x 16 + U + 17, P being the first house code.
  Variant first;
  ZEL_TRY(server->SystemParameter(17, &first));
  Variant p;
  ZEL_TRY(ChangeType(first, VT_I4, &p));
  uint32_t c = code();
  int32_t key = (Bits(c, 4, 0xF) - p.i4()) * 16 + Bits(c, 0, 0xF) + 17;
  return units->Item(Variant::Missing(), Variant::I4(key), value);
}
const MemberTable& CZelSystemX10Event::Members() {
  using T = CZelSystemX10Event;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "State", kDispidX10EventState, &T::get_State)
          .Get(Role::kRead, "AllUnits", kDispidX10EventAllUnits, &T::get_AllUnits)
          .Get(Role::kRead, "HouseCode", kDispidX10EventHouseCode, &T::get_HouseCode)
          .Get(Role::kRead, "UnitNumber", kDispidX10EventUnitNumber, &T::get_UnitNumber)
          .Get(Role::kRead, "Unit", kDispidX10EventUnit, &T::get_Unit)
          .Build();
  return table;
}

HRESULT CZelSystemZoneEvent::get_State(Variant* value) {
  return IntegerResult(Bits(code(), 9, 1), value);
}
HRESULT CZelSystemZoneEvent::get_Zone(Variant* value) {
  return SystemEventItem(kSlotZones, Bits(code(), 0, 0x1FF), value);
}
const MemberTable& CZelSystemZoneEvent::Members() {
  using T = CZelSystemZoneEvent;
  static const MemberTable table =
      MemberTableBuilder<T>(std::string(kTypeName))
          .Inherit(EventMembers())
          .Get(Role::kRead, "State", kDispidZoneEventState, &T::get_State)
          .Get(Role::kRead, "Zone", kDispidZoneEventZone, &T::get_Zone)
          .Build();
  return table;
}

}  // namespace zel
