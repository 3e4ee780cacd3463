#include "model/units.h"

#include <cstdio>

#include "link/request.h"
#include "model/unit_types.h"

namespace zel {

std::string FormatTimeRemaining(uint16_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", seconds / 3600u, seconds / 60u % 60u,
                seconds % 60u);
  return text;
}

HRESULT UnitTypeVariant(uint16_t number, Variant* type) {
  if (type == nullptr) return E_POINTER;
  type->Clear();
  int unit_type = 0;
  if (Failed(ConnectedUnitType(number, &unit_type))) return E_FAIL;
  *type = Variant::I4(unit_type);
  return S_OK;
}

HRESULT UnitTimeCode(const Variant& argument, uint8_t* time_code) {
  return GetOptionalByte(argument, time_code);
}

}  // namespace zel
