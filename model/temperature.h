// The controller's one-byte temperature encoding, shared by thermostats and temperature sensors.
//
// Raw byte r: 0 means no value; otherwise r * 0.5 - 40 degrees Celsius and r * 0.9 - 40 degrees
// Fahrenheit. Raw 0 reads as 0.0 in both scales.
//
// Writing (a setpoint): 0.0 and -40.0 are sent as raw 0 ("no value"); any other value v becomes
// (v + 40) / 0.9 (Fahrenheit) or (v + 40) * 2 (Celsius), rounded half up to a whole number.
//
// Thread contract: stateless.
#pragma once

#include <cstdint>

#include "platform/variant.h"

namespace zel {

enum class TemperatureScale { kFahrenheit, kCelsius };

// The degrees a raw byte stands for (0.0 for raw 0).
double DecodeTemperature(uint8_t raw, TemperatureScale scale);

// The raw value of a setpoint in `scale`: 0 for 0.0 and -40.0, else the rounded conversion,
// which may lie outside one byte (callers limit or refuse it). False for a value that is not a
// finite number.
bool EncodeTemperature(double degrees, TemperatureScale scale, int64_t* raw);

// A setpoint argument as degrees: converted to VT_R8 (a failed conversion returns its code).
HRESULT SetpointArgument(const Variant& argument, double* degrees);

}  // namespace zel
