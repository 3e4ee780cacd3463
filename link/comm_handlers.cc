#include "link/comm_handlers.h"

#include <array>

#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "platform/class_registry.h"
#include "platform/text_encoding.h"

namespace zel {
namespace {

struct TransportEntry {
  const CLSID& clsid;
  std::string_view kind;
};
const std::array<TransportEntry, 2> kTransportEntries = {{
    {kClsidZelCommHandlerSerial, "Serial"},
    {kClsidZelCommHandlerNetwork, "Network"},
}};

}  // namespace

const MemberTable& CZelCommHandlers::Members() {
  using T = CZelCommHandlers;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelCommHandlers")
          .Get(Role::kRead, "Count", kDispidCommHandlersCount, &T::get_Count)
          .Get(Role::kRead, "_NewEnum", DISPID_NEWENUM, &T::get__NewEnum)
          .Method(Role::kRead, "Item", kDispidCommHandlersItem, &T::Item, {"vtIndex", "vtKey?"})
          .Build();
  return table;
}

HRESULT CZelCommHandlers::Create(const RegKey& root, ComPtr<CZelCommHandlers>* out) {
  if (out == nullptr) return E_POINTER;
  RegKey key;
  ZEL_TRY(root.Open(kCommHandlersKey, &key));
  ComPtr<CZelCommHandlers> catalogue = MakeObject<CZelCommHandlers>();
  for (uint32_t i = 0;; ++i) {
    std::string name;
    if (key.EnumKey(i, kCommHandlerNameChars, &name) != S_OK) break;
    // The braced class id (or, as the platform's parser also takes, a programmatic id); a name
    // that is neither is passed over.
    CLSID clsid;
    if (Failed(ClassRegistry::Instance().ClassIdFromText(name, &clsid))) continue;
    ComPtr<IZelCommHandler> transport;
    if (Failed(ClassRegistry::Instance().Create<IZelCommHandler>(clsid, &transport))) break;
    catalogue->transports_.push_back(std::move(transport));
  }
  *out = std::move(catalogue);
  return S_OK;
}

HRESULT CZelCommHandlers::get_Count(int32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<int32_t>(transports_.size());
  return S_OK;
}

HRESULT CZelCommHandlers::get__NewEnum(IUnknown** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return E_NOTIMPL;
}

HRESULT CZelCommHandlers::Item(Variant index, Variant /*key*/, Variant* item) {
  if (item == nullptr || transports_.empty()) return E_FAIL;
  if (index.vt() == VT_BSTR) {
    for (const ComPtr<IZelCommHandler>& t : transports_) {
      BStr name;
      if (Failed(t->get_Name(&name))) continue;  // passed over
      if (EqualsIgnoreAsciiCase(name.str(), index.bstr().str())) {
        *item = Variant::Dispatch(t.get());
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }
  Variant number;
  if (Failed(ChangeType(index, VT_UI4, &number))) return E_FAIL;
  uint32_t n = number.ui4();
  if (n == 0 || (n & 0x80000000u) != 0 || n > transports_.size()) return E_FAIL;
  *item = Variant::Dispatch(transports_[n - 1].get());
  return S_OK;
}

void RegisterCommHandlersClass() {
  ClassRegistry::Instance().Register(
      kClsidZelCommHandlers, std::string(kProgIdZelCommHandlers),
      [](IUnknown** object) -> HRESULT {
        ComPtr<CZelCommHandlers> catalogue;
        ZEL_TRY(CZelCommHandlers::Create(RegKey::LocalMachine(), &catalogue));
        return catalogue->QueryInterface(IUnknown::kIid, reinterpret_cast<void**>(object));
      },
      /*singleton=*/false);
}

HRESULT RegisterTransportEntries(const RegKey& root) {
  RegKey catalogue;
  ZEL_TRY(root.Create(kCommHandlersKey, &catalogue));
  for (const TransportEntry& e : kTransportEntries) {
    std::string name = GuidToString(e.clsid);
    // Replaces an entry that exists, with whatever it held.
    HRESULT hr = catalogue.DeleteTree(name);
    if (Failed(hr) && hr != E_REG_NOT_FOUND) return hr;
    RegKey entry;
    ZEL_TRY(catalogue.Create(name, &entry));
    ZEL_TRY(entry.SetString("", e.kind));
  }
  return S_OK;
}

HRESULT UnregisterTransportEntries(const RegKey& root) {
  RegKey catalogue;
  HRESULT hr = root.Open(kCommHandlersKey, &catalogue);
  if (hr == E_REG_NOT_FOUND) return S_FALSE;
  ZEL_TRY(hr);
  for (const TransportEntry& e : kTransportEntries) {
    hr = catalogue.DeleteTree(GuidToString(e.clsid));
    if (Failed(hr) && hr != E_REG_NOT_FOUND) return hr;
  }
  return S_OK;
}

}  // namespace zel
