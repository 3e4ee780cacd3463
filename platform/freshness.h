// IFreshness: objects whose values come from polling the controller tell how old they are, so
// a client can tell a fresh reading from a stale one (the bridge adds it to its replies as
// "age").
//
// Thread contract: GetAge may be called from any thread.
#pragma once

#include "platform/guid.h"
#include "platform/unknown.h"

namespace zel {

struct IFreshness : IUnknown {
  static constexpr IID kIid = MakeGuid(0x5E1C0A70, 0x3B2D, 0x4A6F, 0x8C1A0002000000F1);
  // S_OK with the seconds since the object's values were last refreshed from the controller;
  // S_FALSE (and 0) when they never were.
  virtual HRESULT GetAge(double* seconds) = 0;
};

}  // namespace zel
