#include "model/bstr_collection.h"

#include "model/collection_interfaces.h"

namespace zel {

HRESULT CBSTRCollection::get_Count(int32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<int32_t>(items_.size());
  return S_OK;
}

HRESULT CBSTRCollection::get__NewEnum(IUnknown** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return E_NOTIMPL;
}

HRESULT CBSTRCollection::Item(Variant position, BStr* item) {
  if (item == nullptr) return E_POINTER;
  Variant number;
  if (Failed(ChangeType(position, VT_I4, &number))) return E_INVALIDARG;
  int32_t at = number.i4();
  if (at < 1 || static_cast<size_t>(at) > items_.size()) return E_INVALIDARG;
  *item = BStr(items_[at - 1]);
  return S_OK;
}

const MemberTable& CBSTRCollection::Members() {
  static const MemberTable table =
      MemberTableBuilder<CBSTRCollection>("CBSTRCollection")
          .Get(Role::kRead, "Count", kDispidCount, &CBSTRCollection::get_Count)
          .Get(Role::kRead, "_NewEnum", kDispidNewEnum, &CBSTRCollection::get__NewEnum)
          .Method(Role::kRead, "Item", kDispidItem, &CBSTRCollection::Item, {"vtIndex"})
          .Get(Role::kRead, "Item", kDispidItem, &CBSTRCollection::Item, {"vtIndex"})
          .Build();
  return table;
}

}  // namespace zel
