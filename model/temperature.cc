#include "model/temperature.h"

#include <cmath>

#include "link/convert_argument.h"

namespace zel {

double DecodeTemperature(uint8_t raw, TemperatureScale scale) {
  if (raw == 0) return 0.0;
  return scale == TemperatureScale::kCelsius ? raw * 0.5 - 40.0 : raw * 0.9 - 40.0;
}

bool EncodeTemperature(double degrees, TemperatureScale scale, int64_t* raw) {
  if (!std::isfinite(degrees)) return false;
  if (degrees == 0.0 || degrees == -40.0) {
    *raw = 0;
    return true;
  }
  double exact =
      scale == TemperatureScale::kCelsius ? (degrees + 40.0) * 2.0 : (degrees + 40.0) / 0.9;
  // Half up. The tiny allowance rounds up a half that binary floating point lands just below
  // (68.45 F: 108.45 / 0.9 = 120.49999999999999, meant as 120.5).
  double rounded = std::floor(exact + 0.5 + 1e-9);
  if (rounded < -1e9 || rounded > 1e9) rounded = rounded < 0 ? -1e9 : 1e9;
  *raw = static_cast<int64_t>(rounded);
  return true;
}

HRESULT SetpointArgument(const Variant& argument, double* degrees) {
  Variant converted;
  ZEL_TRY(ConvertArgument(argument, VT_R8, &converted));
  *degrees = converted.r8();
  return S_OK;
}

}  // namespace zel
