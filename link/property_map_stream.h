// The settings stream every transport saves through IPersistStreamInit: a 32-bit little-endian
// version word 0x00000900, then one record per persisted property in the class's property order.
// A record is a 16-bit type tag and the value: 1, 2, 4 or 8 little-endian bytes for the fixed
// kinds, or for strings a 32-bit byte count and the UTF-16LE text with its 2-byte terminator (a
// null string is the count 0 alone). Values of any other kind are saved as their text, tag 0x0008.
//
// Thread contract: stateless; the caller serialises use of the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "platform/stream.h"
#include "platform/variant.h"

namespace zel {

inline constexpr uint32_t kPropertyMapVersion = 0x00000900;

HRESULT WritePropertyMapVersion(IStream* stream);
// A failed read is returned; a version above kPropertyMapVersion is E_FAIL.
HRESULT ReadPropertyMapVersion(IStream* stream);

HRESULT WritePropertyRecord(IStream* stream, const Variant& value);
HRESULT ReadPropertyRecord(IStream* stream, Variant* value);
// Bytes WritePropertyRecord takes for the value (0 when it cannot be written).
uint64_t PropertyRecordSize(const Variant& value);

// One persisted property of a class's map: saved through its get, loaded through its put, so a
// load converts, checks and disconnects exactly as a client's put does.
struct PersistedProperty {
  const char* name;
  std::function<HRESULT(Variant*)> get;
  std::function<HRESULT(Variant)> put;
};

// IPersistStreamInit's Save, Load and GetSizeMax over a property map. Load reads the version
// word (a later version is E_FAIL) and applies each record in map order; the first failing put
// ends it with its code.
HRESULT SavePropertyMap(IStream* stream, std::span<const PersistedProperty> map);
HRESULT LoadPropertyMap(IStream* stream, std::span<const PersistedProperty> map);
HRESULT PropertyMapSizeMax(std::span<const PersistedProperty> map, uint64_t* size);

}  // namespace zel
