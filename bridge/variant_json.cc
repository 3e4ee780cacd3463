#include "bridge/variant_json.h"

#include <cmath>
#include <limits>

#include "bridge/protocol.h"

namespace zel::bridge {
namespace {

Json EncodeReal(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

// The plain value of a scalar element of a typed array.
Json EncodeScalarValue(const Variant& v, ObjectResolver* resolver) {
  Json full = EncodeVariant(v, resolver);
  if (full.contains("value")) return full["value"];
  return full;
}

Json EncodeArray(const Variant& v, ObjectResolver* resolver) {
  Json values = Json::array();
  const SafeArray* array = v.array();
  VARTYPE element = v.vt() & VT_TYPEMASK;
  if (array != nullptr) {
    if (array->element_vt() == VT_UI1) {
      for (uint8_t b : array->bytes()) values.push_back(b);
    } else {
      for (const Variant& e : array->variants()) {
        values.push_back(element == VT_VARIANT ? EncodeVariant(e, resolver)
                                               : EncodeScalarValue(e, resolver));
      }
    }
  }
  return Json{{"vt", v.vt()}, {"value", std::move(values)}};
}

}  // namespace

Json EncodeVariant(const Variant& v, ObjectResolver* resolver) {
  const VARTYPE vt = v.vt();
  if (v.IsArray()) return EncodeArray(v, resolver);
  Json j{{"vt", vt}};
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_I1:
      j["value"] = v.i1();
      break;
    case VT_I2:
      j["value"] = v.i2();
      break;
    case VT_I4:
    case VT_INT:
      j["value"] = v.i4();
      break;
    case VT_I8:
      j["value"] = v.i8();
      break;
    case VT_UI1:
      j["value"] = v.ui1();
      break;
    case VT_UI2:
      j["value"] = v.ui2();
      break;
    case VT_UI4:
    case VT_UINT:
      j["value"] = v.ui4();
      break;
    case VT_UI8:
      j["value"] = v.ui8();
      break;
    case VT_R4:
      j["value"] = EncodeReal(v.r4());
      break;
    case VT_R8:
    case VT_DATE:
      j["value"] = EncodeReal(v.r8());
      break;
    case VT_BOOL:
      j["value"] = v.boolean();
      break;
    case VT_ERROR:
      j["value"] = StatusText(v.scode());
      break;
    case VT_BSTR:
      if (v.bstr().IsNull()) {
        j["value"] = nullptr;
      } else {
        j["value"] = v.bstr().str();
      }
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      ComPtr<IDispatch> object;
      if (vt == VT_DISPATCH) {
        object = ComPtr<IDispatch>(v.dispatch());
      } else if (v.unknown() != nullptr) {
        (void)QueryAs<IDispatch>(v.unknown(), &object);
      }
      if (!object) {
        j["object"] = nullptr;
        break;
      }
      j["class"] = std::string(object->GetTypeName());
      std::string handle;
      HRESULT hr = resolver ? resolver->HandleFor(object.get(), &handle) : E_BRIDGE_HANDLE_LIMIT;
      if (Succeeded(hr)) {
        j["object"] = handle;
      } else {
        j["object"] = nullptr;
        j["status"] = StatusText(hr);
      }
      break;
    }
    default:
      // Tags a variant cannot be built with here (currency, decimal): the tag alone.
      break;
  }
  return j;
}

namespace {

HRESULT DecodeAt(const Json& j, ObjectResolver* resolver, int depth, Variant* out);

template <class T>
HRESULT ReadInteger(const Json& value, T* out) {
  if (value.is_number_unsigned()) {
    uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) return DISP_E_OVERFLOW;
    *out = static_cast<T>(u);
    return S_OK;
  }
  if (value.is_number_integer()) {
    int64_t i = value.get<int64_t>();
    if constexpr (std::is_signed_v<T>) {
      if (i < std::numeric_limits<T>::min() || i > std::numeric_limits<T>::max()) {
        return DISP_E_OVERFLOW;
      }
    } else {
      if (i < 0) return DISP_E_OVERFLOW;
      if (static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
        return DISP_E_OVERFLOW;
      }
    }
    *out = static_cast<T>(i);
    return S_OK;
  }
  if (value.is_number_float()) {
    // A whole-number real ("5.0") is accepted for an integer tag; a fraction is not.
    double d = value.get<double>();
    if (std::trunc(d) != d) return DISP_E_TYPEMISMATCH;
    if (d < static_cast<double>(std::numeric_limits<T>::min()) ||
        d > static_cast<double>(std::numeric_limits<T>::max())) {
      return DISP_E_OVERFLOW;
    }
    *out = static_cast<T>(d);
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ReadReal(const Json& value, double* out) {
  if (value.is_number()) {
    *out = value.get<double>();
    return S_OK;
  }
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    if (s == "NaN") {
      *out = std::numeric_limits<double>::quiet_NaN();
    } else if (s == "Infinity") {
      *out = std::numeric_limits<double>::infinity();
    } else if (s == "-Infinity") {
      *out = -std::numeric_limits<double>::infinity();
    } else {
      return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

template <class T>
HRESULT DecodeInteger(const Json& value, Variant (*make)(T), Variant* out) {
  T x{};
  ZEL_TRY(ReadInteger(value, &x));
  *out = make(x);
  return S_OK;
}

HRESULT DecodeArray(VARTYPE vt, const Json& value, ObjectResolver* resolver, int depth,
                    Variant* out) {
  if (!value.is_array()) return DISP_E_TYPEMISMATCH;
  VARTYPE element = vt & VT_TYPEMASK;
  if (element == VT_UI1) {
    std::vector<uint8_t> bytes;
    bytes.reserve(value.size());
    for (const Json& e : value) {
      uint8_t b = 0;
      ZEL_TRY(ReadInteger(e, &b));
      bytes.push_back(b);
    }
    *out = Variant::Array(SafeArray::FromBytes(bytes));
    return S_OK;
  }
  SafeArray array(VT_VARIANT, value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const Json& e = value[i];
    Variant item;
    if (element == VT_VARIANT) {
      ZEL_TRY(DecodeAt(e, resolver, depth + 1, &item));
    } else {
      // A typed array holds plain values (or tagged ones of its element type).
      Json tagged = e.is_object()            ? e
                    : element == VT_DISPATCH ? Json{{"vt", element}, {"object", e}}
                                             : Json{{"vt", element}, {"value", e}};
      ZEL_TRY(DecodeAt(tagged, resolver, depth + 1, &item));
      if (item.vt() != element) return DISP_E_TYPEMISMATCH;
    }
    array.variants()[i] = std::move(item);
  }
  *out = Variant::Array(std::move(array), element);
  return S_OK;
}

HRESULT DecodeTagged(const Json& j, ObjectResolver* resolver, int depth, Variant* out) {
  const Json& tag = j["vt"];
  if (!tag.is_number_integer()) return DISP_E_BADVARTYPE;
  int64_t raw = tag.get<int64_t>();
  if (raw < 0 || raw > 0xFFFF) return DISP_E_BADVARTYPE;
  VARTYPE vt = static_cast<VARTYPE>(raw);
  static const Json kNull = nullptr;
  const Json& value = j.contains("value") ? j["value"] : kNull;

  if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
  if (vt & VT_ARRAY) {
    VARTYPE element = vt & VT_TYPEMASK;
    if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0) return DISP_E_BADVARTYPE;
    switch (element) {
      case VT_I1:
      case VT_I2:
      case VT_I4:
      case VT_I8:
      case VT_UI1:
      case VT_UI2:
      case VT_UI4:
      case VT_UI8:
      case VT_INT:
      case VT_UINT:
      case VT_R4:
      case VT_R8:
      case VT_DATE:
      case VT_BSTR:
      case VT_BOOL:
      case VT_ERROR:
      case VT_VARIANT:
      case VT_DISPATCH:
        return DecodeArray(vt, value, resolver, depth, out);
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  switch (vt) {
    case VT_EMPTY:
      *out = Variant();
      return S_OK;
    case VT_NULL:
      *out = Variant::Null();
      return S_OK;
    case VT_I1:
      return DecodeInteger<int8_t>(value, &Variant::I1, out);
    case VT_I2:
      return DecodeInteger<int16_t>(value, &Variant::I2, out);
    case VT_I4:
      return DecodeInteger<int32_t>(value, &Variant::I4, out);
    case VT_INT:
      return DecodeInteger<int32_t>(value, &Variant::Int, out);
    case VT_I8:
      return DecodeInteger<int64_t>(value, &Variant::I8, out);
    case VT_UI1:
      return DecodeInteger<uint8_t>(value, &Variant::UI1, out);
    case VT_UI2:
      return DecodeInteger<uint16_t>(value, &Variant::UI2, out);
    case VT_UI4:
      return DecodeInteger<uint32_t>(value, &Variant::UI4, out);
    case VT_UINT:
      return DecodeInteger<uint32_t>(value, &Variant::UInt, out);
    case VT_UI8:
      return DecodeInteger<uint64_t>(value, &Variant::UI8, out);
    case VT_R4: {
      double d = 0;
      ZEL_TRY(ReadReal(value, &d));
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        return DISP_E_OVERFLOW;
      }
      *out = Variant::R4(static_cast<float>(d));
      return S_OK;
    }
    case VT_R8: {
      double d = 0;
      ZEL_TRY(ReadReal(value, &d));
      *out = Variant::R8(d);
      return S_OK;
    }
    case VT_DATE: {
      double d = 0;
      ZEL_TRY(ReadReal(value, &d));
      if (!std::isfinite(d)) return DISP_E_OVERFLOW;
      *out = Variant::FromDate(Date{d});
      return S_OK;
    }
    case VT_BSTR:
      if (value.is_null()) {
        *out = Variant::Str(BStr::Null());
      } else if (value.is_string()) {
        *out = Variant::Str(BStr(value.get<std::string>()));
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      return S_OK;
    case VT_BOOL:
      if (value.is_boolean()) {
        *out = Variant::Bool(value.get<bool>());
      } else if (value.is_number_integer()) {
        *out = Variant::Bool(value.get<int64_t>() != 0);
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      return S_OK;
    case VT_ERROR: {
      HRESULT code = S_OK;
      if (value.is_string()) {
        if (!ParseStatusText(value.get<std::string>(), &code)) return DISP_E_TYPEMISMATCH;
      } else if (value.is_number_integer()) {
        int64_t n = value.get<int64_t>();
        if (n < INT32_MIN || n > static_cast<int64_t>(UINT32_MAX)) return DISP_E_OVERFLOW;
        code = static_cast<HRESULT>(static_cast<uint32_t>(n));
      } else if (value.is_null()) {
        code = DISP_E_PARAMNOTFOUND;  // {"vt": 10} alone: an omitted argument
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      *out = Variant::Error(code);
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      static const Json kNoObject = nullptr;
      const Json& object = j.contains("object") ? j["object"] : kNoObject;
      if (object.is_null()) {
        *out = vt == VT_DISPATCH ? Variant::Dispatch(nullptr) : Variant::Unknown(nullptr);
        return S_OK;
      }
      if (!object.is_string()) return DISP_E_TYPEMISMATCH;
      if (resolver == nullptr) return E_HANDLE;
      ComPtr<IDispatch> found;
      ZEL_TRY(resolver->ObjectFor(object.get<std::string>(), &found));
      *out = vt == VT_DISPATCH ? Variant::Dispatch(found.get()) : Variant::Unknown(found.get());
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT DecodeAt(const Json& j, ObjectResolver* resolver, int depth, Variant* out) {
  if (depth > kMaxVariantDepth) return DISP_E_BADVARTYPE;
  switch (j.type()) {
    case Json::value_t::null:
      *out = Variant::Null();
      return S_OK;
    case Json::value_t::boolean:
      *out = Variant::Bool(j.get<bool>());
      return S_OK;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      if (j.is_number_unsigned() && j.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
        *out = Variant::R8(static_cast<double>(j.get<uint64_t>()));
        return S_OK;
      }
      int64_t n = j.get<int64_t>();
      if (n >= INT32_MIN && n <= INT32_MAX) {
        *out = Variant::I4(static_cast<int32_t>(n));
      } else {
        *out = Variant::I8(n);
      }
      return S_OK;
    }
    case Json::value_t::number_float:
      *out = Variant::R8(j.get<double>());
      return S_OK;
    case Json::value_t::string:
      *out = Variant::Str(BStr(j.get<std::string>()));
      return S_OK;
    case Json::value_t::array: {
      SafeArray array(VT_VARIANT, j.size());
      for (size_t i = 0; i < j.size(); ++i) {
        ZEL_TRY(DecodeAt(j[i], resolver, depth + 1, &array.variants()[i]));
      }
      *out = Variant::Array(std::move(array), VT_VARIANT);
      return S_OK;
    }
    case Json::value_t::object:
      if (!j.contains("vt")) return E_BRIDGE_BAD_REQUEST;
      return DecodeTagged(j, resolver, depth, out);
    default:
      return E_BRIDGE_BAD_REQUEST;
  }
}

}  // namespace

HRESULT DecodeVariant(const Json& j, ObjectResolver* resolver, Variant* out) {
  if (out == nullptr) return E_POINTER;
  Variant decoded;
  ZEL_TRY(DecodeAt(j, resolver, 0, &decoded));
  *out = std::move(decoded);
  return S_OK;
}

std::string VarTypeName(VARTYPE vt) {
  static const char* const kNames[] = {
      "VT_EMPTY",   "VT_NULL",    "VT_I2",      "VT_I4",       "VT_R4",    "VT_R8",
      "VT_CY",      "VT_DATE",    "VT_BSTR",    "VT_DISPATCH", "VT_ERROR", "VT_BOOL",
      "VT_VARIANT", "VT_UNKNOWN", "VT_DECIMAL", "VT_15",       "VT_I1",    "VT_UI1",
      "VT_UI2",     "VT_UI4",     "VT_I8",      "VT_UI8",      "VT_INT",   "VT_UINT"};
  VARTYPE base = vt & VT_TYPEMASK;
  std::string name = base < std::size(kNames) ? kNames[base] : "VT_" + std::to_string(base);
  if (vt & VT_ARRAY) name = "VT_ARRAY|" + name;
  if (vt & VT_BYREF) name = "VT_BYREF|" + name;
  return name;
}

}  // namespace zel::bridge
