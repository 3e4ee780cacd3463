// GUID: 128-bit class and interface identifiers, with the braced registry text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and the 16-byte little-endian stored form.
//
// Thread contract: value type; NewGuid is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zel {

struct GUID {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  friend bool operator==(const GUID&, const GUID&) = default;
  friend auto operator<=>(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;

inline constexpr GUID GUID_NULL{};

// A random (version 4) GUID.
GUID NewGuid();

// "{6B29FC40-CA47-1067-B31D-00DD010662DA}", upper-case hex.
std::string GuidToString(const GUID& g);

// Accepts the braced form, or the bare 36-character form; blanks around are not allowed.
// Returns CO_E_CLASSSTRING for anything else.
HRESULT ParseGuid(std::string_view text, GUID* out);

// The 16-byte stored form: data1, data2, data3 little-endian, then data4 as is.
std::array<uint8_t, 16> GuidToBytes(const GUID& g);
GUID GuidFromBytes(const uint8_t* bytes);

// Builds a GUID from its parts at compile time.
constexpr GUID MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, uint64_t d4) {
  GUID g{d1, d2, d3, {}};
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(d4 >> (56 - 8 * i));
  return g;
}

}  // namespace zel
