#include "server/empty_collection.h"

namespace zel {

const MemberTable& CZelEmptyCollection::Members() {
  using T = CZelEmptyCollection;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelServerExtensions")
          .Get(Role::kRead, "Count", kDispidCollectionCount, &T::get_Count)
          .Get(Role::kRead, "_NewEnum", DISPID_NEWENUM, &T::get__NewEnum)
          .Method(Role::kRead, "Item", kDispidCollectionItem, &T::Item, {"vtIndex", "vtKey?"})
          .Build();
  return table;
}

HRESULT CZelEmptyCollection::get_Count(int32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CZelEmptyCollection::get__NewEnum(IUnknown** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return E_NOTIMPL;
}

HRESULT CZelEmptyCollection::Item(Variant /*index*/, Variant /*key*/, Variant* item) {
  if (item == nullptr) return E_FAIL;
  return E_FAIL;
}

}  // namespace zel
