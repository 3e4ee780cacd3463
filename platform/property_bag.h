// CPropertyBag: an in-memory property bag with ordered keys (insertion order; writing an existing
// key replaces its value in place). Key lookup ignores ASCII case, as the platform's bags do.
//
// Thread contract: one thread at a time.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/persist.h"

namespace zel {

class CPropertyBag final : public IPropertyBag {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IPropertyBag>(this, iid, ppv);
  }
  HRESULT Read(std::string_view name, Variant* value) override;
  HRESULT Write(std::string_view name, const Variant& value) override;

  const std::vector<std::pair<std::string, Variant>>& entries() const { return entries_; }
  bool Contains(std::string_view name) const;

 private:
  std::vector<std::pair<std::string, Variant>> entries_;
};

}  // namespace zel
