// CZelEmptyCollection: a collection that holds nothing (Count 0). The Extensions slot holds one
// until the extensions library registers its own collection, so the server's start sequence and
// clients see a collection there from the start.
//
// Thread contract: stateless; any thread.
#pragma once

#include "platform/dispatch.h"

namespace zel {

// The collection members every collection shares, with their dispids.
inline constexpr DISPID kDispidCollectionCount = 0x60020000;
inline constexpr DISPID kDispidCollectionItem = 0;

class CZelEmptyCollection final : public DispatchImpl<CZelEmptyCollection, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  HRESULT get_Count(int32_t* count);
  // Nothing to enumerate with for-each.
  HRESULT get__NewEnum(IUnknown** enumerator);
  // There is no item: E_FAIL, as an empty catalogue answers.
  HRESULT Item(Variant index, Variant key, Variant* item);
};

}  // namespace zel
