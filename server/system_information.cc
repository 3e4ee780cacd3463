#include "server/system_information.h"

#include "server/zel_server.h"

namespace zel {

const MemberTable& CZelSystemInformation::Members() {
  using T = CZelSystemInformation;
  static const MemberTable table = MemberTableBuilder<T>("CZelSystemInformation")
                                       .Get(Role::kRead, "AudioControlModel",
                                            kDispidAudioControlModel, &T::get_AudioControlModel)
                                       .Get(Role::kRead, "IsWindowsHomeServer",
                                            kDispidIsWindowsHomeServer, &T::get_IsWindowsHomeServer)
                                       .Build();
  return table;
}

HRESULT CZelSystemInformation::get_AudioControlModel(int32_t* model) {
  if (model == nullptr) return E_POINTER;
  CZelServer* server = server_.load();
  if (server == nullptr) return E_UNEXPECTED;
  *model = server->AudioControlModelNow();
  return S_OK;
}

HRESULT CZelSystemInformation::get_IsWindowsHomeServer(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  value->value = VARIANT_FALSE;
  return S_OK;
}

}  // namespace zel
