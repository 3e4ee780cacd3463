#include "model/zones.h"

#include "model/object_commands.h"
#include "model/system_zone_tables.h"
#include "platform/sync.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The zone count of the connected model; 0 without a capability record, which makes every
// zone a system zone (and so an unknown model's lookups fail with E_FAIL).
uint32_t ConnectedZoneCount(CZelServer* server) {
  const CapabilityRecord* record = server != nullptr ? server->capabilities() : nullptr;
  return record == nullptr ? 0 : record->Byte(kCapZoneCount);
}

}  // namespace

ZoneStatusFields DecodeZoneStatus(uint8_t status) {
  ZoneStatusFields f;
  f.curr_condition = status & 3;
  f.alarm_status = (status >> 2) & 3;
  f.arming_status = (status >> 4) & 3;
  f.had_trouble = (status & 0x40) != 0;
  return f;
}

// ---- Status ---------------------------------------------------------------------------------

HRESULT CZelZone::LoadStatus(const uint8_t* data, uint32_t size) {
  // `size` is the length byte: the type byte plus the data bytes.
  if (size < 3) return E_FAIL;
  MutexLock g(&fields_mu());
  status_ = data[0];
  loop_reading_ = data[1];
  return S_OK;
}

uint8_t CZelZone::status() const {
  MutexLock g(&fields_mu());
  return static_cast<uint8_t>(status_);
}

HRESULT CZelZone::get_CurrCondition(int32_t* value) {
  if (value == nullptr) return E_POINTER;
  *value = DecodeZoneStatus(status()).curr_condition;
  return S_OK;
}

HRESULT CZelZone::get_AlarmStatus(int32_t* value) {
  if (value == nullptr) return E_POINTER;
  *value = DecodeZoneStatus(status()).alarm_status;
  return S_OK;
}

HRESULT CZelZone::get_ArmingStatus(int32_t* value) {
  if (value == nullptr) return E_POINTER;
  *value = DecodeZoneStatus(status()).arming_status;
  return S_OK;
}

HRESULT CZelZone::get_HadTrouble(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  value->value = DecodeZoneStatus(status()).had_trouble ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelZone::get_LoopReading(int32_t* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *value = loop_reading_;
  return S_OK;
}

// ---- Type and area --------------------------------------------------------------------------

HRESULT CZelZone::get_Type(Variant* type) {
  if (type == nullptr) return E_POINTER;
  type->Clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  uint16_t number = id();
  uint32_t zone_count = ConnectedZoneCount(server.get());
  if (number <= zone_count) {
    // A zone of the setup: parameter 16 for entry number - 1 (number 0 has no entry: it reads
    // as entry 0xFFFF, which the setup block does not hold).
    uint32_t sub_index = static_cast<uint16_t>(number - 1);
    return server->SystemParameter(ParameterIndex(kParamZoneType, sub_index), type);
  }
  SystemZoneRow row;
  HRESULT hr = LookUpSystemZone(server->model_index(), number - zone_count, &row);
  if (hr == E_FAIL) {
    // A model without a system zone table.
    *type = Variant::I4(255);
    return E_FAIL;
  }
  ZEL_TRY(hr);
  *type = Variant::I4(row.type);
  return S_OK;
}

HRESULT CZelZone::AreaNumber(Variant* area) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  uint16_t number = id();
  uint32_t zone_count = ConnectedZoneCount(server.get());
  if (number <= zone_count) {
    uint32_t sub_index = static_cast<uint16_t>(number - 1);
    return server->SystemParameter(ParameterIndex(kParamZoneArea, sub_index), area);
  }
  SystemZoneRow row;
  ZEL_TRY(LookUpSystemZone(server->model_index(), number - zone_count, &row));
  *area = Variant::I4(row.area);
  return S_OK;
}

HRESULT CZelZone::get_Area(IDispatch** area) {
  if (area == nullptr) return E_POINTER;
  *area = nullptr;
  Variant number;
  ZEL_TRY(AreaNumber(&number));
  ComPtr<IZelCollection> areas;
  ZEL_TRY(GetServerCollection(kSlotAreas, &areas));
  // By position: the area number is the area's place in the collection.
  Variant item;
  HRESULT hr = areas->Item(number, Variant::Missing(), &item);
  if (Failed(hr)) return hr;
  if (item.vt() == VT_DISPATCH && item.dispatch() != nullptr) {
    item.dispatch()->AddRef();
    *area = item.dispatch();
  }
  return hr;
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZelZone::ZoneCommand(uint8_t command, const Variant& security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  ZEL_TRY(SendObjectCommand(command, user, id()));
  return RefreshElement(kSlotZones, static_cast<IZelZone*>(this), index());
}

HRESULT CZelZone::Bypass(Variant security_code) {
  return ZoneCommand(kCommandBypassZone, security_code);
}

HRESULT CZelZone::Restore(Variant security_code) {
  return ZoneCommand(kCommandRestoreZone, security_code);
}

HRESULT CZelZones::Restore(Variant security_code) {
  uint8_t user = 0;
  ZEL_TRY(ResolveUserNumber(security_code, &user));
  ZEL_TRY(SendObjectCommand(kCommandRestoreAllZones, user, 0));
  return RefreshCollection(kSlotZones);
}

// ---- Tables ---------------------------------------------------------------------------------

const MemberTable& CZelZone::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelZone>("CZelZone")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Area", kDispidZoneArea, &CZelZone::get_Area)
          .Get(Role::kRead, "Type", kDispidZoneType, &CZelZone::get_Type)
          .Get(Role::kRead, "CurrCondition", kDispidZoneCurrCondition, &CZelZone::get_CurrCondition)
          .Get(Role::kRead, "AlarmStatus", kDispidZoneAlarmStatus, &CZelZone::get_AlarmStatus)
          .Get(Role::kRead, "ArmingStatus", kDispidZoneArmingStatus, &CZelZone::get_ArmingStatus)
          .Get(Role::kRead, "HadTrouble", kDispidZoneHadTrouble, &CZelZone::get_HadTrouble)
          .Get(Role::kRead, "LoopReading", kDispidZoneLoopReading, &CZelZone::get_LoopReading)
          .Method(Role::kControl, "Bypass", kDispidZoneBypass, &CZelZone::Bypass,
                  {"vtSecurityCode"})
          .Method(Role::kControl, "Restore", kDispidZoneRestore, &CZelZone::Restore,
                  {"vtSecurityCode"})
          .Build();
  return table;
}

const PropertyMap& CZelZone::Properties() {
  static const PropertyMap map = [] {
    PropertyMapBuilder<CZelZone> b;
    AddCommonProperties(b);
    b.Property("AREA", kDispidZoneArea)
        .Property("TYPE", kDispidZoneType)
        .Member<&CZelZone::status_>("STATUS", VT_UI2)
        .Property("CURRCONDITION", kDispidZoneCurrCondition)
        .Property("ALARMSTATUS", kDispidZoneAlarmStatus)
        .Property("ARMINGSTATUS", kDispidZoneArmingStatus)
        .Property("HADTROUBLE", kDispidZoneHadTrouble)
        .Member<&CZelZone::loop_reading_>("LOOPREADING", VT_UI2);
    return b.Build();
  }();
  return map;
}

const MemberTable& CZelZones::Members() {
  static const MemberTable table = MemberTableBuilder<CZelZones>("CZelZones")
                                       .Inherit(CollectionMembers())
                                       .Method(Role::kControl, "Restore", kDispidZonesRestore,
                                               &CZelZones::Restore, {"vtSecurityCode"})
                                       .Build();
  return table;
}

}  // namespace zel
