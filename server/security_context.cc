#include "server/security_context.h"

#include "server/zel_server.h"

namespace zel {

int ServerSecurityContext::ModelIndex() { return server_->model_index(); }

HRESULT ServerSecurityContext::FindSessionUser(const GUID& /*cookie*/, BStr* /*user_name*/) {
  return E_FAIL;
}

HRESULT ServerSecurityContext::FindCodeIdByName(const BStr& /*user_name*/, uint32_t* /*id*/) {
  return E_NOTIMPL;
}

HRESULT ServerSecurityContext::SystemParametersInfo(uint32_t index, Variant* value) {
  return server_->SystemParameter(index, value);
}

uint32_t ServerSecurityContext::CodeCount() {
  const CapabilityRecord* record = server_->capabilities();
  return record == nullptr ? 0 : record->Byte(kCapUserCodeCount);
}

}  // namespace zel
