// CZelCounterUnit: a counter output (unit type 3). Besides the unit members it counts up and
// down and takes a value:
//   Inc()       11, 0, ID
//   Dec()       10, 0, ID
//   Set(value)  12, value (one byte), ID
// each followed by the unit's refresh (units.h).
//
// Thread contract: as every unit (units.h).
#pragma once

#include "model/units.h"

namespace zel {

inline constexpr DISPID kDispidCounterInc = 0x60040000;
inline constexpr DISPID kDispidCounterDec = 0x60040001;
inline constexpr DISPID kDispidCounterSet = 0x60040002;

inline constexpr uint8_t kCommandCounterDec = 10;
inline constexpr uint8_t kCommandCounterInc = 11;
inline constexpr uint8_t kCommandCounterSet = 12;

struct IZelCounterUnit : IZelUnit {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelCounterUnit);
  virtual HRESULT Inc() = 0;
  virtual HRESULT Dec() = 0;
  virtual HRESULT Set(Variant value) = 0;
};

class CZelCounterUnit final : public ZelUnitImpl<CZelCounterUnit, IZelCounterUnit> {
 public:
  static constexpr CLSID kClsid = kClsidZelCounterUnit;
  static constexpr std::string_view kTypeName = "CZelCounterUnit";

  HRESULT Inc() override;
  HRESULT Dec() override;
  HRESULT Set(Variant value) override;

  static const MemberTable& Members();
};

}  // namespace zel
