// The property map of an element class: one ordered list of entries that drives property-bag
// load and save, stream persistence and (later) the XML writers. An entry is either
//   - a member field: key, the field, its declared variant type; or
//   - a property: key and dispid, read and written through the class's own member table.
// Every map begins with the five common entries "INDEX", "ID", "NAME", "FRIENDLYNAME",
// "DISPLAY" (collection_element.h adds them).
//
// Stream form (IPersistStreamInit of an element): a 32-bit little-endian version word 0x0900,
// then every entry in map order: a member field as its bytes (integers little-endian at their
// width, a string in the platform's string stream form), a property as a variant in the
// property-record form of link/property_map_stream.h (16-bit type tag, then the value; values
// of kinds without a stored form go as their text).
//
// Thread contract: maps are built once (function-local statics) and read-only afterwards. The
// walks below lock `fields_mu` around each member-field access and call properties without it,
// so a property getter may take the same mutex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/dispatch.h"
#include "platform/persist.h"
#include "platform/stream.h"
#include "platform/sync.h"

namespace zel {

inline constexpr uint32_t kElementStreamVersion = 0x0900;

struct PropertyEntry {
  std::string key;
  bool is_member = false;
  // Member fields.
  VARTYPE vt = VT_EMPTY;
  HRESULT (*get)(const void* self, VARTYPE vt, Variant* out) = nullptr;
  HRESULT (*set)(void* self, const Variant& value) = nullptr;
  HRESULT (*write_raw)(const void* self, IStream* stream) = nullptr;
  HRESULT (*read_raw)(void* self, IStream* stream) = nullptr;
  uint64_t (*raw_size)(const void* self) = nullptr;
  // Properties.
  DISPID dispid = DISPID_UNKNOWN;
};

using PropertyMap = std::vector<PropertyEntry>;

namespace property_map_detail {

// How one C++ field type becomes a variant and bytes. Supported: uint8_t, int16_t (a 16-bit
// boolean when declared VT_BOOL), uint16_t, int32_t, uint32_t, double, BStr.
template <class F>
struct FieldCodec;

HRESULT ToDeclared(Variant natural, VARTYPE vt, Variant* out);
HRESULT WriteLe(IStream* stream, uint64_t value, uint32_t width);
HRESULT ReadLe(IStream* stream, uint32_t width, uint64_t* value);

template <class F>
requires std::is_integral_v<F>
struct FieldCodec<F> {
  static Variant Natural(F v, VARTYPE declared) {
    if constexpr (std::is_same_v<F, int16_t>) {
      return declared == VT_BOOL ? Variant::BoolRaw(v) : Variant::I2(v);
    } else if constexpr (std::is_same_v<F, uint8_t>) {
      return Variant::UI1(v);
    } else if constexpr (std::is_same_v<F, uint16_t>) {
      return Variant::UI2(v);
    } else if constexpr (std::is_same_v<F, int32_t>) {
      return Variant::I4(v);
    } else {
      static_assert(std::is_same_v<F, uint32_t>, "unsupported integer field");
      return Variant::UI4(v);
    }
  }
  static HRESULT From(const Variant& value, F* out) {
    // The value already has the declared type; its bits hold the integer.
    if (value.vt() == VT_BOOL) {
      *out = static_cast<F>(value.boolVal());
    } else {
      *out = static_cast<F>(value.i8());
    }
    return S_OK;
  }
  static HRESULT Write(F v, IStream* s) {
    return WriteLe(s, static_cast<uint64_t>(static_cast<std::make_unsigned_t<F>>(v)), sizeof(F));
  }
  static HRESULT Read(IStream* s, F* out) {
    uint64_t bits = 0;
    ZEL_TRY(ReadLe(s, sizeof(F), &bits));
    *out = static_cast<F>(bits);
    return S_OK;
  }
  static uint64_t Size(F) { return sizeof(F); }
};

template <>
struct FieldCodec<double> {
  static Variant Natural(double v, VARTYPE) { return Variant::R8(v); }
  static HRESULT From(const Variant& value, double* out) {
    *out = value.r8();
    return S_OK;
  }
  static HRESULT Write(double v, IStream* s) { return WriteAll(s, &v, sizeof v); }
  static HRESULT Read(IStream* s, double* out) { return ReadExact(s, out, sizeof *out); }
  static uint64_t Size(double) { return sizeof(double); }
};

template <>
struct FieldCodec<BStr> {
  static Variant Natural(const BStr& v, VARTYPE) { return Variant::Str(v); }
  static HRESULT From(const Variant& value, BStr* out) {
    *out = value.bstr();
    return S_OK;
  }
  static HRESULT Write(const BStr& v, IStream* s) { return WriteStringToStream(s, v); }
  static HRESULT Read(IStream* s, BStr* out) { return ReadStringFromStream(s, out); }
  static uint64_t Size(const BStr& v) { return StringStreamSize(v); }
};

template <class M>
struct MemberOf;
template <class C, class F>
struct MemberOf<F C::*> {
  using Field = F;
};

}  // namespace property_map_detail

// Builds the map of element class T:
//   PropertyMapBuilder<CZelZone> b;
//   CZelZone::AddCommonProperties(b);           // the five common entries
//   b.Property("AREA", 0x5B0).Member<&CZelZone::status_>("STATUS", VT_UI2);
//   return b.Build();
template <class T>
class PropertyMapBuilder {
 public:
  // A field of T (or of a base of T).
  template <auto kField>
  PropertyMapBuilder& Member(std::string_view key, VARTYPE vt) {
    using F = typename property_map_detail::MemberOf<decltype(kField)>::Field;
    using Codec = property_map_detail::FieldCodec<F>;
    PropertyEntry e;
    e.key = std::string(key);
    e.is_member = true;
    e.vt = vt;
    e.get = [](const void* self, VARTYPE declared, Variant* out) -> HRESULT {
      const F& field = static_cast<const T*>(self)->*kField;
      return property_map_detail::ToDeclared(Codec::Natural(field, declared), declared, out);
    };
    e.set = [](void* self, const Variant& value) -> HRESULT {
      return Codec::From(value, &(static_cast<T*>(self)->*kField));
    };
    e.write_raw = [](const void* self, IStream* s) -> HRESULT {
      return Codec::Write(static_cast<const T*>(self)->*kField, s);
    };
    e.read_raw = [](void* self, IStream* s) -> HRESULT {
      F value{};
      ZEL_TRY(Codec::Read(s, &value));
      static_cast<T*>(self)->*kField = std::move(value);
      return S_OK;
    };
    e.raw_size = [](const void* self) -> uint64_t {
      return Codec::Size(static_cast<const T*>(self)->*kField);
    };
    entries_.push_back(std::move(e));
    return *this;
  }

  // A property of T's member table.
  PropertyMapBuilder& Property(std::string_view key, DISPID dispid) {
    PropertyEntry e;
    e.key = std::string(key);
    e.dispid = dispid;
    entries_.push_back(std::move(e));
    return *this;
  }

  PropertyMap Build() { return std::move(entries_); }

 private:
  PropertyMap entries_;
};

// The object a walk works on: its address as the map's class, its dispatch interface for the
// property entries, and the mutex guarding its fields.
struct PropertyTarget {
  void* self = nullptr;
  IDispatch* dispatch = nullptr;
  Mutex* fields_mu = nullptr;
};

// Property-bag load: every entry the bag holds and that converts is stored; the rest are
// skipped. A member entry is read with its declared type; a property entry is first read from
// the object to learn its current type, then read from the bag with that type and put.
HRESULT LoadFromPropertyBag(const PropertyMap& map, const PropertyTarget& target,
                            IPropertyBag* bag);
// Property-bag save: every entry in map order; a property whose getter fails is left out.
HRESULT SaveToPropertyBag(const PropertyMap& map, const PropertyTarget& target, IPropertyBag* bag);

// Stream persistence (see the top of the file). A read or write failure is returned; a property
// that cannot be put back is skipped.
HRESULT SaveToStream(const PropertyMap& map, const PropertyTarget& target, IStream* stream);
HRESULT LoadFromStream(const PropertyMap& map, const PropertyTarget& target, IStream* stream);
// 4 plus the stored size of every entry.
uint64_t StreamSizeMax(const PropertyMap& map, const PropertyTarget& target);

}  // namespace zel
