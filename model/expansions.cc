#include "model/expansions.h"

#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {

HRESULT CZelExpansion::LoadStatus(const uint8_t* data, uint32_t size) {
  if (size < 3) return E_FAIL;
  MutexLock g(&fields_mu());
  status_ = data[0];
  battery_level_ = data[1];
  return S_OK;
}

HRESULT CZelExpansion::get_Type(Variant* type) {
  if (type == nullptr) return E_POINTER;
  type->Clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  uint32_t sub_index = static_cast<uint16_t>(id() - 1);
  return server->SystemParameter(ParameterIndex(kParamExpansionType, sub_index), type);
}

HRESULT CZelExpansion::get_Status(int32_t* status) {
  if (status == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *status = status_;
  return S_OK;
}

HRESULT CZelExpansion::get_BatteryLevel(int32_t* level) {
  if (level == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *level = battery_level_;
  return S_OK;
}

const MemberTable& CZelExpansion::Members() {
  using T = CZelExpansion;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelExpansion")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Type", kDispidExpansionType, &T::get_Type)
          .Get(Role::kRead, "Status", kDispidExpansionStatus, &T::get_Status)
          .Get(Role::kRead, "BatteryLevel", kDispidExpansionBatteryLevel, &T::get_BatteryLevel)
          .Build();
  return table;
}

const PropertyMap& CZelExpansion::Properties() {
  static const PropertyMap map = [] {
    PropertyMapBuilder<CZelExpansion> b;
    AddCommonProperties(b);
    b.Member<&CZelExpansion::status_>("STATUS", VT_UI2)
        .Member<&CZelExpansion::battery_level_>("BATTERYLEVEL", VT_UI2);
    return b.Build();
  }();
  return map;
}

}  // namespace zel
