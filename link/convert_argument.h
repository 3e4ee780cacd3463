// ConvertArgument: brings an automation argument to the type a member works with. A value that
// already has the type is copied as it is; anything else goes through the automation conversion
// rules (ChangeType), whose failure codes are returned unchanged.
//
// Thread contract: stateless.
#pragma once

#include "platform/variant.h"

namespace zel {

inline HRESULT ConvertArgument(const Variant& in, VARTYPE vt, Variant* out) {
  if (in.vt() == vt) {
    *out = in;
    return S_OK;
  }
  return ChangeType(in, vt, out);
}

}  // namespace zel
