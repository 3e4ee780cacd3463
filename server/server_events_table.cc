#include "server/server_events_table.h"

#include "server/interfaces.h"

namespace zel {

const MemberTable& ServerEventsMembers() {
  static const MemberTable table = [] {
    MemberTable t("_DZelServerEvents");
    for (size_t i = 0; i < kServerEventNames.size(); ++i) {
      MemberInfo& m = t.Member(kServerEventNames[i], static_cast<DISPID>(i + 1));
      Accessor a;
      a.kind = DISPATCH_METHOD;
      bool status = kServerEventNames[i] == "OnServerStatusChange";
      a.params.push_back(ParamInfo{status ? "Status" : "Event", status ? VT_I4 : VT_DISPATCH});
      // Sinks are called, never this table: an outgoing interface has no implementation here.
      a.call = [](void*, std::span<Variant>, Variant*) { return E_NOTIMPL; };
      m.accessors.push_back(std::move(a));
    }
    MemberInfo& link = t.Member("OnLinkStateChange", kDispidSinkOnLinkStateChange);
    Accessor a;
    a.kind = DISPATCH_METHOD;
    a.params.push_back(ParamInfo{"State", VT_BSTR});
    a.call = [](void*, std::span<Variant>, Variant*) { return E_NOTIMPL; };
    link.accessors.push_back(std::move(a));
    return t;
  }();
  return table;
}

}  // namespace zel
