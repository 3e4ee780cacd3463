// SafeArray: a one-dimensional, zero-based automation array of bytes (VT_UI1) or of variants
// (VT_VARIANT; also used for VT_BSTR elements, each held as a VT_BSTR variant).
//
// Thread contract: a value type.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/variant.h"

namespace zel {

class SafeArray {
 public:
  SafeArray() = default;
  SafeArray(VARTYPE element_vt, size_t count);
  static SafeArray FromBytes(std::span<const uint8_t> bytes);

  VARTYPE element_vt() const { return element_vt_; }
  size_t size() const { return element_vt_ == VT_UI1 ? bytes_.size() : variants_.size(); }

  // VT_UI1 arrays.
  std::vector<uint8_t>& bytes() { return bytes_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // Every other element type.
  std::vector<Variant>& variants() { return variants_; }
  const std::vector<Variant>& variants() const { return variants_; }

  // Element i as a variant (bytes as VT_UI1); E_INVALIDARG / DISP_E_BADINDEX out of range.
  HRESULT GetElement(size_t i, Variant* out) const;
  // Stores v converted to the element type.
  HRESULT PutElement(size_t i, const Variant& v);

  friend bool operator==(const SafeArray&, const SafeArray&) = default;

 private:
  VARTYPE element_vt_ = VT_VARIANT;
  std::vector<uint8_t> bytes_;
  std::vector<Variant> variants_;
};

}  // namespace zel
