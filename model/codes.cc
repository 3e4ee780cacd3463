#include "model/codes.h"

#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {

HRESULT CZelCode::CodeParameter(uint32_t parameter, const Variant& outside, Variant* value) {
  if (value == nullptr) return E_POINTER;
  value->Clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  const CapabilityRecord* record = server->capabilities();
  uint16_t number = id();
  if (number == 0 || record == nullptr || number > record->Byte(kCapUserCodeCount)) {
    *value = outside;
    return S_OK;
  }
  return server->SystemParameter(ParameterIndex(parameter, number - 1u), value);
}

HRESULT CZelCode::get_AuthorityLevel(Variant* level) {
  return CodeParameter(kParamCodeAuthority, Variant::I4(0), level);
}

HRESULT CZelCode::get_AccessStart(Variant* start) {
  return CodeParameter(kParamCodeAccessStart, Variant::FromDate(Date{0.0}), start);
}

HRESULT CZelCode::get_AccessEnd(Variant* end) {
  return CodeParameter(kParamCodeAccessEnd, Variant::FromDate(Date{0.0}), end);
}

const MemberTable& CZelCode::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelCode>("CZelCode")
          .Inherit(ElementMembers())
          .Get(Role::kAdmin, "AuthorityLevel", kDispidCodeAuthorityLevel,
               &CZelCode::get_AuthorityLevel)
          .Get(Role::kAdmin, "AccessStart", kDispidCodeAccessStart, &CZelCode::get_AccessStart)
          .Get(Role::kAdmin, "AccessEnd", kDispidCodeAccessEnd, &CZelCode::get_AccessEnd)
          .Build();
  return table;
}

}  // namespace zel
