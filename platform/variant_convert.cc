// Placeholder until the conversion rules land: every conversion reports E_NOTIMPL.
#include "platform/variant.h"

namespace zel {

HRESULT ChangeType(const Variant& src, VARTYPE vt, Variant* dest) {
  if (dest == nullptr) return E_POINTER;
  if (src.vt() == vt || vt == VT_VARIANT) {
    *dest = src;
    return S_OK;
  }
  return E_NOTIMPL;
}
std::string RealToText(double) { return {}; }
HRESULT DateFromTm(const std::tm&, Date*) { return E_NOTIMPL; }
HRESULT TmFromDate(Date, std::tm*) { return E_NOTIMPL; }
Date DateFromTimeT(std::time_t) { return {}; }
std::time_t TimeTFromDate(Date) { return 0; }

}  // namespace zel
