// Variant: the automation value, a type tag (VARTYPE, with the platform's numeric values) and a
// value. Variants own what they hold: copying one copies its string and array and adds a
// reference to its object.
//
// Conversions between types (ChangeType) follow the automation platform's rules exactly: integer
// narrowing that does not fit fails with DISP_E_OVERFLOW, text that is not a number fails with
// DISP_E_TYPEMISMATCH, reals become integers rounding half to even, text numbers may carry
// surrounding blanks, booleans are -1/0 and read "True"/"False" as text, dates are automation
// dates (days since 30 December 1899, fraction = time of day) in local time.
//
// Thread contract: a value type; one Variant must not be used by two threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/bstr.h"
#include "platform/status.h"
#include "platform/unknown.h"

namespace zel {

using VARTYPE = uint16_t;
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R4 = 4;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;
inline constexpr VARTYPE VT_DATE = 7;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_UNKNOWN = 13;
inline constexpr VARTYPE VT_DECIMAL = 14;
inline constexpr VARTYPE VT_I1 = 16;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI2 = 18;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_I8 = 20;
inline constexpr VARTYPE VT_UI8 = 21;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_UINT = 23;
inline constexpr VARTYPE VT_ARRAY = 0x2000;
inline constexpr VARTYPE VT_BYREF = 0x4000;
inline constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct IDispatch;
class SafeArray;

// An automation date: days since 1899-12-30 00:00 local time; the fraction is the time of day.
struct Date {
  double value = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

class Variant {
 public:
  Variant() = default;  // VT_EMPTY
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  static Variant Null();
  static Variant I1(int8_t v);
  static Variant I2(int16_t v);
  static Variant I4(int32_t v);
  static Variant I8(int64_t v);
  static Variant UI1(uint8_t v);
  static Variant UI2(uint16_t v);
  static Variant UI4(uint32_t v);
  static Variant UI8(uint64_t v);
  static Variant Int(int32_t v);
  static Variant UInt(uint32_t v);
  static Variant R4(float v);
  static Variant R8(double v);
  static Variant FromDate(Date v);
  static Variant Bool(bool v);
  static Variant BoolRaw(VARIANT_BOOL v);  // keeps the 16 bits as given
  static Variant Error(HRESULT code);
  static Variant Str(BStr v);
  // Adds a reference to the object (null is allowed: a VT_DISPATCH holding nothing).
  static Variant Dispatch(IDispatch* v);
  static Variant Unknown(IUnknown* v);
  // Takes the array; the type tag is VT_ARRAY | tag_element (the array's own element type when 0).
  static Variant Array(SafeArray array, VARTYPE tag_element = 0);
  // An omitted optional argument: VT_ERROR holding DISP_E_PARAMNOTFOUND.
  static Variant Missing() { return Error(DISP_E_PARAMNOTFOUND); }

  VARTYPE vt() const { return vt_; }
  bool IsEmpty() const { return vt_ == VT_EMPTY; }
  bool IsMissing() const { return vt_ == VT_ERROR && scode() == DISP_E_PARAMNOTFOUND; }
  bool IsArray() const { return (vt_ & VT_ARRAY) != 0; }

  // Typed access; each requires the matching vt().
  int8_t i1() const { return static_cast<int8_t>(bits_); }
  int16_t i2() const { return static_cast<int16_t>(bits_); }
  int32_t i4() const { return static_cast<int32_t>(bits_); }
  int64_t i8() const { return static_cast<int64_t>(bits_); }
  uint8_t ui1() const { return static_cast<uint8_t>(bits_); }
  uint16_t ui2() const { return static_cast<uint16_t>(bits_); }
  uint32_t ui4() const { return static_cast<uint32_t>(bits_); }
  uint64_t ui8() const { return bits_; }
  float r4() const;
  double r8() const;
  Date date() const { return Date{r8()}; }
  VARIANT_BOOL boolVal() const { return static_cast<VARIANT_BOOL>(bits_); }
  bool boolean() const { return boolVal() != 0; }
  HRESULT scode() const { return static_cast<HRESULT>(bits_); }
  const BStr& bstr() const { return str_; }
  IDispatch* dispatch() const;
  IUnknown* unknown() const { return object_; }
  const SafeArray* array() const { return array_.get(); }
  SafeArray* array() { return array_.get(); }

  // Back to VT_EMPTY, releasing what was held.
  void Clear();

  // The raw 16-byte stored form: type tag, three reserved 16-bit words, 8-byte value, all
  // little-endian. Only scalar types have a meaningful stored form; objects, strings and arrays
  // store their tag and zero bits.
  std::array<uint8_t, 16> ToRawBytes() const;
  static Variant FromRawBytes(const uint8_t* bytes);

  // Equality of type and value (strings by text, objects by identity, arrays element by element).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  VARTYPE vt_ = VT_EMPTY;
  uint64_t bits_ = 0;  // integers, reals (bit pattern), booleans, error codes
  BStr str_;
  IUnknown* object_ = nullptr;  // one reference held; for VT_DISPATCH it is the IDispatch
  std::unique_ptr<SafeArray> array_;
};

// Converts src to type vt following the automation conversion rules; dest is written only on
// success. Supported targets: every scalar type above, VT_BSTR, VT_DATE, VT_BOOL, VT_DISPATCH and
// VT_UNKNOWN (object queries), VT_EMPTY/VT_NULL, VT_VARIANT (copy). Arrays convert only to
// themselves. Failure codes: DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, DISP_E_BADVARTYPE,
// E_NOINTERFACE.
HRESULT ChangeType(const Variant& src, VARTYPE vt, Variant* dest);

// Text form of reals: up to 15 significant digits, no exponent between 1e-5 and 1e15
// (otherwise "1.5E+20" style), "." as the decimal point.
std::string RealToText(double value);

// Dates and local broken-down time. tm_year etc. as in <ctime>; milliseconds are rounded away.
// Dates before year 100 or after 9999 fail with DISP_E_OVERFLOW (from tm) or E_INVALIDARG.
HRESULT DateFromTm(const std::tm& local, Date* out);
HRESULT TmFromDate(Date date, std::tm* local);
// Wall-clock conversions through the local time zone.
Date DateFromTimeT(std::time_t t);
std::time_t TimeTFromDate(Date date);

}  // namespace zel

// Variants own their arrays, so every user of Variant sees the complete array type.
#include "platform/safe_array.h"  // IWYU pragma: export
