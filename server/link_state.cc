// The controller link's health on the server: LinkState, LinkFailures and LinkLastGood beside
// Status, and OnLinkStateChange to the _DZelServerEvents sinks when it changes.
#include "link/link_health.h"
#include "server/zel_server.h"

namespace zel {

HRESULT CZelServer::get_LinkState(BStr* state) {
  if (state == nullptr) return E_POINTER;
  *state = BStr(std::string(LinkStateName(LinkHealth::Process().Now().state)));
  return S_OK;
}

HRESULT CZelServer::get_LinkFailures(int32_t* count) {
  if (count == nullptr) return E_POINTER;
  uint32_t failures = LinkHealth::Process().Now().failures;
  *count = static_cast<int32_t>(std::min<uint32_t>(failures, INT32_MAX));
  return S_OK;
}

HRESULT CZelServer::get_LinkLastGood(Variant* when) {
  if (when == nullptr) return E_POINTER;
  std::time_t last = LinkHealth::Process().Now().last_good;
  *when = last == 0 ? Variant() : Variant::FromDate(DateFromTimeT(last));
  return S_OK;
}

void CZelServer::DeliverLinkState(LinkState state) {
  const Variant argument = Variant::Str(BStr(std::string(LinkStateName(state))));
  DeliverToSinks(kDispidSinkOnLinkStateChange, argument);
}

}  // namespace zel
