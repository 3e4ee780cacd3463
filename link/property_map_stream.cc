#include "link/property_map_stream.h"

#include <array>

namespace zel {
namespace {

// The kinds stored as their fixed-size value; everything else goes as text.
bool IsFixedRecordKind(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
    case VT_I4:
    case VT_R4:
    case VT_ERROR:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      return true;
    default:
      return false;
  }
}

// The value as it goes into the stream: itself, or converted to text.
HRESULT RecordValue(const Variant& value, Variant* out) {
  if (IsFixedRecordKind(value.vt()) || value.vt() == VT_BSTR) {
    *out = value;
    return S_OK;
  }
  return ChangeType(value, VT_BSTR, out);
}

}  // namespace

HRESULT WritePropertyMapVersion(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  std::array<uint8_t, 4> word = {static_cast<uint8_t>(kPropertyMapVersion & 0xFF),
                                 static_cast<uint8_t>((kPropertyMapVersion >> 8) & 0xFF),
                                 static_cast<uint8_t>((kPropertyMapVersion >> 16) & 0xFF),
                                 static_cast<uint8_t>(kPropertyMapVersion >> 24)};
  return WriteAll(stream, word.data(), word.size());
}

HRESULT ReadPropertyMapVersion(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  std::array<uint8_t, 4> word{};
  ZEL_TRY(ReadExact(stream, word.data(), word.size()));
  uint32_t version = word[0] | word[1] << 8 | word[2] << 16 | static_cast<uint32_t>(word[3]) << 24;
  return version > kPropertyMapVersion ? E_FAIL : S_OK;
}

HRESULT WritePropertyRecord(IStream* stream, const Variant& value) {
  if (stream == nullptr) return E_POINTER;
  Variant record;
  ZEL_TRY(RecordValue(value, &record));
  return WriteVariantToStream(stream, record);
}

HRESULT ReadPropertyRecord(IStream* stream, Variant* value) {
  if (stream == nullptr || value == nullptr) return E_POINTER;
  return ReadVariantFromStream(stream, value);
}

uint64_t PropertyRecordSize(const Variant& value) {
  Variant record;
  if (Failed(RecordValue(value, &record))) return 0;
  return VariantStreamSize(record);
}

HRESULT SavePropertyMap(IStream* stream, std::span<const PersistedProperty> map) {
  if (stream == nullptr) return E_POINTER;
  ZEL_TRY(WritePropertyMapVersion(stream));
  for (const PersistedProperty& p : map) {
    Variant value;
    ZEL_TRY(p.get(&value));
    ZEL_TRY(WritePropertyRecord(stream, value));
  }
  return S_OK;
}

HRESULT LoadPropertyMap(IStream* stream, std::span<const PersistedProperty> map) {
  if (stream == nullptr) return E_POINTER;
  ZEL_TRY(ReadPropertyMapVersion(stream));
  for (const PersistedProperty& p : map) {
    Variant value;
    ZEL_TRY(ReadPropertyRecord(stream, &value));
    ZEL_TRY(p.put(std::move(value)));
  }
  return S_OK;
}

HRESULT PropertyMapSizeMax(std::span<const PersistedProperty> map, uint64_t* size) {
  if (size == nullptr) return E_POINTER;
  uint64_t total = 4;  // the version word
  for (const PersistedProperty& p : map) {
    Variant value;
    ZEL_TRY(p.get(&value));
    total += PropertyRecordSize(value);
  }
  *size = total;
  return S_OK;
}

}  // namespace zel
