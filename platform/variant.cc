// Construction, copying and the stored form of Variant. Conversions live in variant_convert.cc.
#include "platform/variant.h"

#include <bit>
#include <cstring>

#include "platform/dispatch.h"
#include "platform/safe_array.h"

namespace zel {
namespace {

Variant Make(VARTYPE vt, uint64_t bits) {
  Variant v = Variant::Null();
  // Null() is a valid starting point; overwrite tag and bits through the raw form.
  std::array<uint8_t, 16> raw{};
  raw[0] = static_cast<uint8_t>(vt);
  raw[1] = static_cast<uint8_t>(vt >> 8);
  for (int i = 0; i < 8; ++i) raw[8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return Variant::FromRawBytes(raw.data());
}

}  // namespace

Variant::Variant(const Variant& other)
    : vt_(other.vt_), bits_(other.bits_), str_(other.str_), object_(other.object_) {
  if (object_) object_->AddRef();
  if (other.array_) array_ = std::make_unique<SafeArray>(*other.array_);
}

Variant::Variant(Variant&& other) noexcept
    : vt_(std::exchange(other.vt_, VT_EMPTY)),
      bits_(std::exchange(other.bits_, 0)),
      str_(std::move(other.str_)),
      object_(std::exchange(other.object_, nullptr)),
      array_(std::move(other.array_)) {
  other.str_ = BStr();
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    vt_ = std::exchange(other.vt_, VT_EMPTY);
    bits_ = std::exchange(other.bits_, 0);
    str_ = std::move(other.str_);
    other.str_ = BStr();
    object_ = std::exchange(other.object_, nullptr);
    array_ = std::move(other.array_);
  }
  return *this;
}

Variant::~Variant() { Clear(); }

void Variant::Clear() {
  vt_ = VT_EMPTY;
  bits_ = 0;
  str_ = BStr();
  if (IUnknown* o = std::exchange(object_, nullptr)) o->Release();
  array_.reset();
}

Variant Variant::Null() {
  Variant v;
  v.vt_ = VT_NULL;
  return v;
}
Variant Variant::I1(int8_t x) {
  return Make(VT_I1, static_cast<uint64_t>(static_cast<int64_t>(x)));
}
Variant Variant::I2(int16_t x) {
  return Make(VT_I2, static_cast<uint64_t>(static_cast<int64_t>(x)));
}
Variant Variant::I4(int32_t x) {
  return Make(VT_I4, static_cast<uint64_t>(static_cast<int64_t>(x)));
}
Variant Variant::I8(int64_t x) { return Make(VT_I8, static_cast<uint64_t>(x)); }
Variant Variant::UI1(uint8_t x) { return Make(VT_UI1, x); }
Variant Variant::UI2(uint16_t x) { return Make(VT_UI2, x); }
Variant Variant::UI4(uint32_t x) { return Make(VT_UI4, x); }
Variant Variant::UI8(uint64_t x) { return Make(VT_UI8, x); }
Variant Variant::Int(int32_t x) {
  return Make(VT_INT, static_cast<uint64_t>(static_cast<int64_t>(x)));
}
Variant Variant::UInt(uint32_t x) { return Make(VT_UINT, x); }
Variant Variant::R4(float x) { return Make(VT_R4, std::bit_cast<uint32_t>(x)); }
Variant Variant::R8(double x) { return Make(VT_R8, std::bit_cast<uint64_t>(x)); }
Variant Variant::FromDate(Date d) { return Make(VT_DATE, std::bit_cast<uint64_t>(d.value)); }
Variant Variant::Bool(bool x) { return BoolRaw(x ? VARIANT_TRUE : VARIANT_FALSE); }
Variant Variant::BoolRaw(VARIANT_BOOL x) {
  return Make(VT_BOOL, static_cast<uint64_t>(static_cast<int64_t>(x)));
}
Variant Variant::Error(HRESULT code) {
  return Make(VT_ERROR, static_cast<uint64_t>(static_cast<int64_t>(code)));
}
Variant Variant::Str(BStr s) {
  Variant v;
  v.vt_ = VT_BSTR;
  v.str_ = std::move(s);
  return v;
}
Variant Variant::Dispatch(IDispatch* d) {
  Variant v;
  v.vt_ = VT_DISPATCH;
  v.object_ = d;
  if (d) d->AddRef();
  return v;
}
Variant Variant::Unknown(IUnknown* u) {
  Variant v;
  v.vt_ = VT_UNKNOWN;
  v.object_ = u;
  if (u) u->AddRef();
  return v;
}
Variant Variant::Array(SafeArray array, VARTYPE tag_element) {
  Variant v;
  v.vt_ = static_cast<VARTYPE>(VT_ARRAY | (tag_element ? tag_element : array.element_vt()));
  v.array_ = std::make_unique<SafeArray>(std::move(array));
  return v;
}

float Variant::r4() const { return std::bit_cast<float>(static_cast<uint32_t>(bits_)); }
double Variant::r8() const { return std::bit_cast<double>(bits_); }

IDispatch* Variant::dispatch() const {
  return vt_ == VT_DISPATCH ? static_cast<IDispatch*>(object_) : nullptr;
}

std::array<uint8_t, 16> Variant::ToRawBytes() const {
  std::array<uint8_t, 16> raw{};
  raw[0] = static_cast<uint8_t>(vt_);
  raw[1] = static_cast<uint8_t>(vt_ >> 8);
  bool scalar = !(vt_ & VT_ARRAY) && vt_ != VT_BSTR && vt_ != VT_DISPATCH && vt_ != VT_UNKNOWN;
  if (scalar) {
    for (int i = 0; i < 8; ++i) raw[8 + i] = static_cast<uint8_t>(bits_ >> (8 * i));
  }
  return raw;
}

Variant Variant::FromRawBytes(const uint8_t* raw) {
  Variant v;
  VARTYPE vt = static_cast<VARTYPE>(raw[0] | raw[1] << 8);
  bool scalar = !(vt & VT_ARRAY) && !(vt & VT_BYREF) && vt != VT_BSTR && vt != VT_DISPATCH &&
                vt != VT_UNKNOWN && vt != VT_VARIANT && vt != VT_DECIMAL && vt != VT_CY &&
                vt <= VT_UINT;
  if (!scalar) {
    // Strings, objects and arrays cannot be rebuilt from 16 bytes: they read back as empty.
    if (vt == VT_BSTR) return Variant::Str(BStr());
    return v;
  }
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= uint64_t{raw[8 + i]} << (8 * i);
  // Narrow types keep only their own bytes, sign-extended as the type says.
  switch (vt) {
    case VT_I1:
      bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(bits)));
      break;
    case VT_I2:
    case VT_BOOL:
      bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(bits)));
      break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
      break;
    case VT_UI1:
      bits &= 0xFF;
      break;
    case VT_UI2:
      bits &= 0xFFFF;
      break;
    case VT_UI4:
    case VT_UINT:
    case VT_R4:
      bits &= 0xFFFFFFFFu;
      break;
    case VT_EMPTY:
    case VT_NULL:
      bits = 0;
      break;
    default:
      break;
  }
  v.vt_ = vt;
  v.bits_ = bits;
  return v;
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.vt_ != b.vt_ || a.bits_ != b.bits_ || !(a.str_ == b.str_) || a.object_ != b.object_) {
    return false;
  }
  if (!a.array_ || !b.array_) return !a.array_ && !b.array_;
  return *a.array_ == *b.array_;
}

SafeArray::SafeArray(VARTYPE element_vt, size_t count) : element_vt_(element_vt) {
  if (element_vt == VT_UI1) {
    bytes_.resize(count);
  } else {
    variants_.resize(count);
  }
}

SafeArray SafeArray::FromBytes(std::span<const uint8_t> bytes) {
  SafeArray a(VT_UI1, 0);
  a.bytes_.assign(bytes.begin(), bytes.end());
  return a;
}

HRESULT SafeArray::GetElement(size_t i, Variant* out) const {
  if (out == nullptr) return E_POINTER;
  if (i >= size()) return DISP_E_BADINDEX;
  *out = element_vt_ == VT_UI1 ? Variant::UI1(bytes_[i]) : variants_[i];
  return S_OK;
}

HRESULT SafeArray::PutElement(size_t i, const Variant& v) {
  if (i >= size()) return DISP_E_BADINDEX;
  if (element_vt_ == VT_VARIANT) {
    variants_[i] = v;
    return S_OK;
  }
  Variant converted;
  ZEL_TRY(ChangeType(v, element_vt_, &converted));
  if (element_vt_ == VT_UI1) {
    bytes_[i] = converted.ui1();
  } else {
    variants_[i] = std::move(converted);
  }
  return S_OK;
}

}  // namespace zel
