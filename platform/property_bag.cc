#include "platform/property_bag.h"

#include "platform/text_encoding.h"

namespace zel {

bool CPropertyBag::Contains(std::string_view name) const {
  for (const auto& [key, value] : entries_) {
    if (EqualsIgnoreAsciiCase(key, name)) return true;
  }
  return false;
}

HRESULT CPropertyBag::Read(std::string_view name, Variant* value) {
  if (value == nullptr) return E_POINTER;
  for (const auto& [key, stored] : entries_) {
    if (!EqualsIgnoreAsciiCase(key, name)) continue;
    VARTYPE wanted = value->vt();
    if (wanted == VT_EMPTY || wanted == stored.vt()) {
      *value = stored;
      return S_OK;
    }
    Variant converted;
    ZEL_TRY(ChangeType(stored, wanted, &converted));
    *value = std::move(converted);
    return S_OK;
  }
  return E_INVALIDARG;
}

HRESULT CPropertyBag::Write(std::string_view name, const Variant& value) {
  for (auto& [key, stored] : entries_) {
    if (EqualsIgnoreAsciiCase(key, name)) {
      stored = value;
      return S_OK;
    }
  }
  entries_.emplace_back(std::string(name), value);
  return S_OK;
}

}  // namespace zel
