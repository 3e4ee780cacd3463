// CBSTRCollection: a read-only list of strings handed to clients (an audio source's Metadata).
// IBSTRCollection: Count, Item(position) by 1-based position returning the string, and _NewEnum,
// which is not supported (E_NOTIMPL): scripts iterate by position. A position of 0 or beyond
// Count, or one that does not convert to an integer, is E_INVALIDARG.
//
// Thread contract: filled once by its creator before it is handed out, read-only afterwards.
#pragma once

#include <string>
#include <vector>

#include "model/model_classes.h"
#include "platform/dispatch.h"

namespace zel {

inline constexpr IID kIidIBSTRCollection = ZelClassId(kIdInterface, 0x54);

struct IBSTRCollection : IDispatch {
  static constexpr IID kIid = kIidIBSTRCollection;
  virtual HRESULT get_Count(int32_t* count) = 0;
  virtual HRESULT get__NewEnum(IUnknown** enumerator) = 0;
  virtual HRESULT Item(Variant position, BStr* item) = 0;
};

class CBSTRCollection final : public DispatchImpl<CBSTRCollection, IBSTRCollection> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IBSTRCollection, IDispatch>(this, iid, ppv);
  }

  explicit CBSTRCollection(std::vector<std::string> items) : items_(std::move(items)) {}

  HRESULT get_Count(int32_t* count) override;
  HRESULT get__NewEnum(IUnknown** enumerator) override;
  HRESULT Item(Variant position, BStr* item) override;

  static const MemberTable& Members();

 private:
  const std::vector<std::string> items_;
};

}  // namespace zel
