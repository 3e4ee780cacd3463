#include "model/property_map.h"

#include <array>

#include "link/property_map_stream.h"
#include "platform/sync.h"

namespace zel {
namespace property_map_detail {

HRESULT ToDeclared(Variant natural, VARTYPE vt, Variant* out) {
  if (natural.vt() == vt) {
    *out = std::move(natural);
    return S_OK;
  }
  return ChangeType(natural, vt, out);
}

HRESULT WriteLe(IStream* stream, uint64_t value, uint32_t width) {
  std::array<uint8_t, 8> bytes{};
  for (uint32_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return WriteAll(stream, bytes.data(), width);
}

HRESULT ReadLe(IStream* stream, uint32_t width, uint64_t* value) {
  std::array<uint8_t, 8> bytes{};
  ZEL_TRY(ReadExact(stream, bytes.data(), width));
  uint64_t v = 0;
  for (uint32_t i = 0; i < width; ++i) v |= uint64_t{bytes[i]} << (8 * i);
  *value = v;
  return S_OK;
}

}  // namespace property_map_detail

namespace {

HRESULT GetMember(const PropertyEntry& e, const PropertyTarget& t, Variant* out) {
  MutexLock g(t.fields_mu);
  return e.get(t.self, e.vt, out);
}

HRESULT SetMember(const PropertyEntry& e, const PropertyTarget& t, const Variant& value) {
  MutexLock g(t.fields_mu);
  return e.set(t.self, value);
}

HRESULT GetProperty(const PropertyEntry& e, const PropertyTarget& t, Variant* out) {
  return t.dispatch->Invoke(e.dispid, DISPATCH_PROPERTYGET, {}, out);
}

HRESULT PutProperty(const PropertyEntry& e, const PropertyTarget& t, const Variant& value) {
  return t.dispatch->Invoke(e.dispid, DISPATCH_PROPERTYPUT, {&value, 1}, nullptr);
}

}  // namespace

HRESULT LoadFromPropertyBag(const PropertyMap& map, const PropertyTarget& target,
                            IPropertyBag* bag) {
  if (bag == nullptr) return E_POINTER;
  for (const PropertyEntry& e : map) {
    if (e.is_member) {
      // The bag converts to the declared type; an absent key or a failed conversion skips.
      Variant value;
      Variant wanted;
      ZEL_TRY(property_map_detail::ToDeclared(Variant::I4(0), e.vt, &wanted));
      value = std::move(wanted);
      if (Failed(bag->Read(e.key, &value))) continue;
      (void)SetMember(e, target, value);
    } else {
      Variant current;
      if (Failed(GetProperty(e, target, &current))) continue;
      // Read with the type the property has now, so the put receives what it hands out.
      Variant value;
      if (current.vt() != VT_EMPTY) {
        if (Failed(ChangeType(Variant::I4(0), current.vt(), &value))) value = current;
      }
      if (Failed(bag->Read(e.key, &value))) continue;
      (void)PutProperty(e, target, value);
    }
  }
  return S_OK;
}

HRESULT SaveToPropertyBag(const PropertyMap& map, const PropertyTarget& target, IPropertyBag* bag) {
  if (bag == nullptr) return E_POINTER;
  for (const PropertyEntry& e : map) {
    Variant value;
    HRESULT hr = e.is_member ? GetMember(e, target, &value) : GetProperty(e, target, &value);
    if (Failed(hr)) continue;
    ZEL_TRY(bag->Write(e.key, value));
  }
  return S_OK;
}

HRESULT SaveToStream(const PropertyMap& map, const PropertyTarget& target, IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  ZEL_TRY(property_map_detail::WriteLe(stream, kElementStreamVersion, 4));
  for (const PropertyEntry& e : map) {
    if (e.is_member) {
      MutexLock g(target.fields_mu);
      ZEL_TRY(e.write_raw(target.self, stream));
    } else {
      Variant value;
      // A property that cannot be read is stored empty, so the sequence keeps its shape.
      if (Failed(GetProperty(e, target, &value))) value.Clear();
      ZEL_TRY(WritePropertyRecord(stream, value));
    }
  }
  return S_OK;
}

HRESULT LoadFromStream(const PropertyMap& map, const PropertyTarget& target, IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  uint64_t version = 0;
  ZEL_TRY(property_map_detail::ReadLe(stream, 4, &version));
  if (version > kElementStreamVersion) return E_FAIL;
  for (const PropertyEntry& e : map) {
    if (e.is_member) {
      MutexLock g(target.fields_mu);
      ZEL_TRY(e.read_raw(target.self, stream));
    } else {
      Variant value;
      ZEL_TRY(ReadPropertyRecord(stream, &value));
      // Read-only properties (Type, Area, ...) refuse the put; their value is derived anyway.
      if (value.vt() != VT_EMPTY) (void)PutProperty(e, target, value);
    }
  }
  return S_OK;
}

uint64_t StreamSizeMax(const PropertyMap& map, const PropertyTarget& target) {
  uint64_t size = 4;
  for (const PropertyEntry& e : map) {
    if (e.is_member) {
      MutexLock g(target.fields_mu);
      size += e.raw_size(target.self);
    } else {
      Variant value;
      if (Failed(GetProperty(e, target, &value))) value.Clear();
      size += PropertyRecordSize(value);
    }
  }
  return size;
}

}  // namespace zel
