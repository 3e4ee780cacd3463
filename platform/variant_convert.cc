// Conversions between variant types, automation dates and the text forms of numbers and dates.
//
// Text written (en-US, the user-default locale the server runs under):
// - Reals: R8 with up to 15 significant digits, R4 with up to 7. Plain decimal when the rounded
//   decimal exponent is from -5 up to (digits - 1), otherwise mantissa + "E" + signed exponent of
//   at least two digits ("1.5E+20", "1E-07"). "." is the decimal point, no digit grouping, no
//   trailing zeros, -0 reads "0". Not-a-number and the infinities read "NaN", "Infinity",
//   "-Infinity".
// - Dates: "M/D/YYYY h:mm:ss AM" ("12/6/2026 2:05:09 PM"), seconds rounded; the date alone when
//   the time is midnight ("12/6/2026"), the time alone when the date part is 0, 30 December 1899
//   ("2:05:09 PM"; the date 0 itself reads "12:00:00 AM"). Years below 1000 are padded to four
//   digits so the text reads back as the same year.
// - Booleans: "True" / "False" (the alphabetic form; the server writes booleans only this way).
//
// Text read (blanks around every form are ignored):
// - Numbers: the forms the platform's standard number parse accepts: digits with "," grouping in
//   the integer part, "." decimal point, exponent "e"/"E" with optional sign; a sign before or
//   after the number, "(...)" for a negative number, a "$" before or after; "&H" hexadecimal and
//   "&O" octal digits. Hexadecimal and octal values fill the target's bits as an unsigned number
//   and are then read as the target type ("&HFFFF" is -1 as I2), as the platform's basic dialect
//   reads them.
// - Dates: "M/D/YYYY", "YYYY-MM-DD", either followed by a time (after blanks, or after "T" for
//   the second form), or a time alone: "H:MM", "H:MM:SS", each optionally followed by "AM"/"PM"
//   (any case), or "H AM". One- and two-digit years use the platform's window (00-29 are 2000s,
//   30-99 are 1900s). A well-formed date outside years 100 to 9999 is DISP_E_OVERFLOW; anything
//   else unreadable is DISP_E_TYPEMISMATCH.
//
// Other decisions:
// - ChangeType takes no flags, so booleans always read as "True"/"False" (the platform's
//   alphabetic-boolean conversion, which the XML writers ask for), never as "-1"/"0".
// - A number in text is not a date: "45000" to DATE is DISP_E_TYPEMISMATCH.
// - ERROR converts only to ERROR (and VARIANT); no integer converts to ERROR.
// - A null object to any scalar, a default member that fails, and a chain of default members
//   deeper than 8 objects are all DISP_E_TYPEMISMATCH. EMPTY and NULL convert to no object.
//
// Thread contract: stateless; safe from any thread. The time_t conversions read the process's
// time zone (set up once by the C library).
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/text_encoding.h"
#include "platform/variant.h"

namespace zel {
namespace {

// ---- Type classes ------------------------------------------------------------------------

bool IsSignedInteger(VARTYPE vt) {
  return vt == VT_I1 || vt == VT_I2 || vt == VT_I4 || vt == VT_I8 || vt == VT_INT;
}
bool IsUnsignedInteger(VARTYPE vt) {
  return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8 || vt == VT_UINT;
}
bool IsInteger(VARTYPE vt) { return IsSignedInteger(vt) || IsUnsignedInteger(vt); }

int BitsOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 8;
    case VT_I2:
    case VT_UI2:
      return 16;
    case VT_I8:
    case VT_UI8:
      return 64;
    default:
      return 32;  // I4, UI4, INT, UINT
  }
}

// The element types a variant can hold and convert; CY and DECIMAL have no representation here.
bool IsScalarType(VARTYPE vt) {
  return (vt <= VT_BOOL && vt != VT_CY) || vt == VT_UNKNOWN || (vt >= VT_I1 && vt <= VT_UINT);
}

bool IsValidSource(VARTYPE vt) {
  if (vt & VT_BYREF) return false;
  if (vt & VT_ARRAY) {
    VARTYPE element = vt & VT_TYPEMASK;
    return element == VT_VARIANT || (IsScalarType(element) && element > VT_NULL);
  }
  return IsScalarType(vt);
}

bool IsValidTarget(VARTYPE vt) { return vt == VT_VARIANT || IsValidSource(vt); }

Variant MakeSigned(VARTYPE vt, int64_t v) {
  switch (vt) {
    case VT_I1:
      return Variant::I1(static_cast<int8_t>(v));
    case VT_I2:
      return Variant::I2(static_cast<int16_t>(v));
    case VT_I8:
      return Variant::I8(v);
    case VT_INT:
      return Variant::Int(static_cast<int32_t>(v));
    default:
      return Variant::I4(static_cast<int32_t>(v));
  }
}

Variant MakeUnsigned(VARTYPE vt, uint64_t v) {
  switch (vt) {
    case VT_UI1:
      return Variant::UI1(static_cast<uint8_t>(v));
    case VT_UI2:
      return Variant::UI2(static_cast<uint16_t>(v));
    case VT_UI8:
      return Variant::UI8(v);
    case VT_UINT:
      return Variant::UInt(static_cast<uint32_t>(v));
    default:
      return Variant::UI4(static_cast<uint32_t>(v));
  }
}

// ---- Numbers -----------------------------------------------------------------------------

// A scalar source reduced to the one value every numeric target is computed from.
struct Number {
  enum class Kind { kSigned, kUnsigned, kReal };
  Kind kind = Kind::kSigned;
  int64_t s = 0;
  uint64_t u = 0;
  double r = 0;
  // A boolean: unsigned targets take its bits as they are (True is 255 as UI1), as the platform
  // does, instead of refusing -1.
  bool from_bool = false;
};

Number SignedNumber(int64_t v) { return Number{Number::Kind::kSigned, v, 0, 0, false}; }
Number UnsignedNumber(uint64_t v) { return Number{Number::Kind::kUnsigned, 0, v, 0, false}; }
Number RealNumber(double v) { return Number{Number::Kind::kReal, 0, 0, v, false}; }

// Only for scalar sources other than strings, objects, NULL and ERROR.
Number NumberOf(const Variant& v) {
  switch (v.vt()) {
    case VT_I1:
      return SignedNumber(v.i1());
    case VT_I2:
      return SignedNumber(v.i2());
    case VT_I4:
    case VT_INT:
      return SignedNumber(v.i4());
    case VT_I8:
      return SignedNumber(v.i8());
    case VT_UI1:
      return UnsignedNumber(v.ui1());
    case VT_UI2:
      return UnsignedNumber(v.ui2());
    case VT_UI4:
    case VT_UINT:
      return UnsignedNumber(v.ui4());
    case VT_UI8:
      return UnsignedNumber(v.ui8());
    case VT_R4:
      return RealNumber(v.r4());
    case VT_R8:
    case VT_DATE:
      return RealNumber(v.r8());
    case VT_BOOL: {
      Number n = SignedNumber(v.boolVal());
      n.from_bool = true;
      return n;
    }
    default:
      return SignedNumber(0);  // VT_EMPTY
  }
}

// Rounds to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2),
// independent of the floating-point environment's rounding mode. NaN and infinities pass through.
double RoundHalfEven(double v) {
  double below = std::floor(v);
  double diff = v - below;  // exact wherever a half can occur
  if (diff > 0.5) return below + 1;
  if (diff < 0.5) return below;
  return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

HRESULT NumberToInteger(const Number& n, VARTYPE vt, Variant* out) {
  const int bits = BitsOf(vt);
  if (IsSignedInteger(vt)) {
    const int64_t hi =
        bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
    const int64_t lo = -hi - 1;
    int64_t v = 0;
    switch (n.kind) {
      case Number::Kind::kSigned:
        v = n.s;
        break;
      case Number::Kind::kUnsigned:
        if (n.u > static_cast<uint64_t>(hi)) return DISP_E_OVERFLOW;
        v = static_cast<int64_t>(n.u);
        break;
      case Number::Kind::kReal: {
        double r = RoundHalfEven(n.r);
        double limit = std::ldexp(1.0, bits - 1);
        if (!(r >= -limit && r < limit)) return DISP_E_OVERFLOW;  // also NaN
        v = static_cast<int64_t>(r);
        break;
      }
    }
    if (v < lo || v > hi) return DISP_E_OVERFLOW;
    *out = MakeSigned(vt, v);
    return S_OK;
  }
  const uint64_t max =
      bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
  uint64_t u = 0;
  switch (n.kind) {
    case Number::Kind::kSigned:
      if (n.from_bool) {
        u = static_cast<uint64_t>(n.s) & max;
      } else {
        if (n.s < 0) return DISP_E_OVERFLOW;
        u = static_cast<uint64_t>(n.s);
      }
      break;
    case Number::Kind::kUnsigned:
      u = n.u;
      break;
    case Number::Kind::kReal: {
      double r = RoundHalfEven(n.r);  // -0.4 rounds to -0, which is 0
      if (!(r >= 0 && r < std::ldexp(1.0, bits))) return DISP_E_OVERFLOW;
      u = static_cast<uint64_t>(r);
      break;
    }
  }
  if (u > max) return DISP_E_OVERFLOW;
  *out = MakeUnsigned(vt, u);
  return S_OK;
}

double AsDouble(const Number& n) {
  switch (n.kind) {
    case Number::Kind::kSigned:
      return static_cast<double>(n.s);
    case Number::Kind::kUnsigned:
      return static_cast<double>(n.u);
    case Number::Kind::kReal:
      break;
  }
  return n.r;
}

// Automation dates cover 1 January 100 to 31 December 9999; the bounds exclude the day outside.
constexpr double kMinDateExclusive = -657435.0;
constexpr double kMaxDateExclusive = 2958466.0;

bool IsDateInRange(double v) { return v > kMinDateExclusive && v < kMaxDateExclusive; }

HRESULT NumberToScalar(const Number& n, VARTYPE vt, Variant* out) {
  if (IsInteger(vt)) return NumberToInteger(n, vt, out);
  double d = AsDouble(n);
  switch (vt) {
    case VT_R8:
      *out = Variant::R8(d);
      return S_OK;
    case VT_R4:
      if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      *out = Variant::R4(static_cast<float>(d));
      return S_OK;
    case VT_DATE:
      if (!IsDateInRange(d)) return DISP_E_OVERFLOW;
      *out = Variant::FromDate(Date{d});
      return S_OK;
    case VT_BOOL: {
      bool nonzero = n.kind == Number::Kind::kSigned     ? n.s != 0
                     : n.kind == Number::Kind::kUnsigned ? n.u != 0
                                                         : n.r != 0;  // NaN counts as true
      *out = Variant::Bool(nonzero);
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// ---- Reals as text ----------------------------------------------------------------------

std::string FormatReal(double value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";
  // Scientific form with `digits` significant digits: "-d.ddde+XX".
  char buf[64];
  auto [end, ec] =
      std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific, digits - 1);
  if (ec != std::errc()) return "0";
  std::string_view sci(buf, static_cast<size_t>(end - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  size_t e_pos = sci.find('e');
  std::string mantissa;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') mantissa.push_back(c);
  }
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();

  std::string text = negative ? "-" : "";
  if (exponent >= -5 && exponent < digits) {
    if (exponent >= 0) {
      size_t int_len = static_cast<size_t>(exponent) + 1;
      if (mantissa.size() <= int_len) {
        text += mantissa + std::string(int_len - mantissa.size(), '0');
      } else {
        text += mantissa.substr(0, int_len) + "." + mantissa.substr(int_len);
      }
    } else {
      text += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + mantissa;
    }
    return text;
  }
  text += mantissa.substr(0, 1);
  if (mantissa.size() > 1) text += "." + mantissa.substr(1);
  char exp_text[16];
  std::snprintf(exp_text, sizeof(exp_text), "E%c%02d", exponent < 0 ? '-' : '+',
                exponent < 0 ? -exponent : exponent);
  return text + exp_text;
}

// ---- Numbers from text ------------------------------------------------------------------

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A number read from text, before it meets its target type.
struct NumberText {
  bool negative = false;
  bool radix = false;           // "&H" / "&O": radix_value holds the digits' value
  bool radix_overflow = false;  // more digits than 64 bits hold
  uint64_t radix_value = 0;
  std::string digits;    // decimal significant digits without leading zeros; "" is zero
  int64_t exponent = 0;  // value = digits x 10^exponent
};

// Keeps a running exponent far from int64 limits; anything this large is out of every range.
constexpr int64_t kExponentClamp = 1000000;

HRESULT ParseNumberText(std::string_view s, NumberText* out) {
  NumberText num;
  size_t i = 0;
  const size_t n = s.size();
  bool lead_plus = false, lead_minus = false, currency = false, paren = false;
  // Leading blanks, one plus, one minus, one currency sign and one opening parenthesis, in any
  // order.
  for (;;) {
    if (i < n && IsBlank(s[i])) {
      ++i;
    } else if (i < n && s[i] == '+' && !lead_plus) {
      lead_plus = true;
      ++i;
    } else if (i < n && s[i] == '-' && !lead_minus) {
      lead_minus = true;
      ++i;
    } else if (i < n && s[i] == '$' && !currency) {
      currency = true;
      ++i;
    } else if (i < n && s[i] == '(' && !paren) {
      paren = true;
      ++i;
    } else {
      break;
    }
  }
  bool negative = lead_minus;

  const char radix_letter = i + 1 < n && s[i] == '&' ? s[i + 1] : '\0';
  if (radix_letter == 'H' || radix_letter == 'h' || radix_letter == 'O' || radix_letter == 'o') {
    const bool hex = radix_letter == 'H' || radix_letter == 'h';
    const int shift = hex ? 4 : 3;
    i += 2;
    const size_t start = i;
    for (; i < n; ++i) {
      int d;
      char c = s[i];
      if (IsDigit(c) && (hex || c < '8')) {
        d = c - '0';
      } else if (hex && c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (hex && c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        break;
      }
      if (num.radix_value >> (64 - shift) != 0) num.radix_overflow = true;
      num.radix_value = (num.radix_value << shift) | static_cast<uint64_t>(d);
    }
    if (i == start) return DISP_E_TYPEMISMATCH;
    num.radix = true;
  } else {
    bool any_digit = false;
    for (; i < n; ++i) {
      if (IsDigit(s[i])) {
        any_digit = true;
        if (!num.digits.empty() || s[i] != '0') num.digits.push_back(s[i]);
      } else if (s[i] == ',' && any_digit) {
        continue;  // digit grouping
      } else {
        break;
      }
    }
    if (i < n && s[i] == '.') {
      for (++i; i < n && IsDigit(s[i]); ++i) {
        any_digit = true;
        if (!num.digits.empty() || s[i] != '0') num.digits.push_back(s[i]);
        num.exponent -= 1;
      }
    }
    if (!any_digit) return DISP_E_TYPEMISMATCH;
    // An exponent counts only when digits follow; otherwise the "e" is left over (and refused).
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
      size_t j = i + 1;
      bool exp_negative = false;
      if (j < n && (s[j] == '+' || s[j] == '-')) exp_negative = s[j++] == '-';
      if (j < n && IsDigit(s[j])) {
        int64_t e = 0;
        for (; j < n && IsDigit(s[j]); ++j) {
          if (e < kExponentClamp) e = e * 10 + (s[j] - '0');
        }
        num.exponent += exp_negative ? -e : e;
        i = j;
      }
    }
  }

  bool trail_plus = false, trail_minus = false, closed = false;
  // Trailing blanks, a sign not given before, the closing parenthesis, a currency sign.
  for (;;) {
    if (i < n && IsBlank(s[i])) {
      ++i;
    } else if (i < n && s[i] == '+' && !lead_plus && !trail_plus) {
      trail_plus = true;
      ++i;
    } else if (i < n && s[i] == '-' && !lead_minus && !trail_minus) {
      trail_minus = true;
      negative = true;
      ++i;
    } else if (i < n && s[i] == ')' && paren && !closed) {
      closed = true;
      ++i;
    } else if (i < n && s[i] == '$' && !currency) {
      currency = true;
      ++i;
    } else {
      break;
    }
  }
  if (i != n || paren != closed) return DISP_E_TYPEMISMATCH;
  if (paren) negative = true;
  if (num.radix && num.radix_overflow) return DISP_E_OVERFLOW;
  num.negative = negative;
  *out = std::move(num);
  return S_OK;
}

// The magnitude of a decimal text rounded to an integer (halves to even).
HRESULT DecimalMagnitude(const NumberText& num, uint64_t* out) {
  const std::string& d = num.digits;
  *out = 0;
  if (d.empty()) return S_OK;
  const int64_t size = static_cast<int64_t>(d.size());
  const int64_t int_len = size + num.exponent;  // digits before the decimal point
  if (int_len > 20) return DISP_E_OVERFLOW;
  uint64_t mag = 0;
  for (int64_t k = 0; k < int_len; ++k) {
    uint64_t digit = k < size ? static_cast<uint64_t>(d[static_cast<size_t>(k)] - '0') : 0;
    if (mag > (std::numeric_limits<uint64_t>::max() - digit) / 10) return DISP_E_OVERFLOW;
    mag = mag * 10 + digit;
  }
  // The first dropped digit decides; a lone 5 with nothing after it is a tie.
  if (int_len >= 0 && int_len < size) {
    char first = d[static_cast<size_t>(int_len)];
    bool more = d.find_first_not_of('0', static_cast<size_t>(int_len) + 1) != std::string::npos;
    bool up = first > '5' || (first == '5' && (more || (mag & 1) != 0));
    if (up) {
      if (mag == std::numeric_limits<uint64_t>::max()) return DISP_E_OVERFLOW;
      ++mag;
    }
  }
  *out = mag;
  return S_OK;
}

HRESULT TextToInteger(const NumberText& num, VARTYPE vt, Variant* out) {
  const int bits = BitsOf(vt);
  const uint64_t max_bits =
      bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
  if (num.radix) {
    if (num.radix_value > max_bits) return DISP_E_OVERFLOW;
    if (IsSignedInteger(vt)) {
      // The bits read as the target type: sign-extend from the target's width.
      uint64_t sign = uint64_t{1} << (bits - 1);
      int64_t v = static_cast<int64_t>((num.radix_value ^ sign) - sign);
      if (num.negative) {
        if (v == -static_cast<int64_t>(sign - 1) - 1) return DISP_E_OVERFLOW;
        v = -v;
      }
      *out = MakeSigned(vt, v);
      return S_OK;
    }
    if (num.negative && num.radix_value != 0) return DISP_E_OVERFLOW;
    *out = MakeUnsigned(vt, num.radix_value);
    return S_OK;
  }
  uint64_t mag = 0;
  ZEL_TRY(DecimalMagnitude(num, &mag));
  if (IsSignedInteger(vt)) {
    const uint64_t limit = uint64_t{1} << (bits - 1);  // |min|; max is one less
    if (num.negative) {
      if (mag > limit) return DISP_E_OVERFLOW;
      *out = MakeSigned(
          vt, mag == limit ? -static_cast<int64_t>(limit - 1) - 1 : -static_cast<int64_t>(mag));
    } else {
      if (mag >= limit) return DISP_E_OVERFLOW;
      *out = MakeSigned(vt, static_cast<int64_t>(mag));
    }
    return S_OK;
  }
  if (num.negative && mag != 0) return DISP_E_OVERFLOW;
  if (mag > max_bits) return DISP_E_OVERFLOW;
  *out = MakeUnsigned(vt, mag);
  return S_OK;
}

HRESULT TextToDouble(const NumberText& num, double* out) {
  double v;
  if (num.radix) {
    v = static_cast<double>(num.radix_value);
  } else if (num.digits.empty()) {
    v = 0;
  } else {
    // Digits and exponent only: no decimal point, so the C library's locale cannot interfere.
    std::string normal = num.digits + "e" + std::to_string(num.exponent);
    v = std::strtod(normal.c_str(), nullptr);
  }
  if (std::isinf(v)) return DISP_E_OVERFLOW;
  *out = num.negative ? -v : v;
  return S_OK;
}

// ---- Dates --------------------------------------------------------------------------------

// Days between 30 December 1899 (automation day 0) and 1 January 1970 (the epoch).
constexpr int64_t kEpochDay = 25569;
constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// The automation date of a day and a time of day. Before day 0 the time counts away from zero:
// 29 December 1899 06:00 is -1.25.
double DateValue(int64_t day, int64_t seconds) {
  day += seconds / kSecondsPerDay;
  seconds %= kSecondsPerDay;
  double time = static_cast<double>(seconds) / kSecondsPerDay;
  return day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
}

// Broken-down date and time of an automation date, seconds rounded to the nearest.
struct DateParts {
  int64_t day = 0;  // automation day number
  int64_t year = 0;
  int month = 0, mday = 0, hour = 0, minute = 0, second = 0;
};

HRESULT SplitDate(double v, DateParts* out) {
  if (!IsDateInRange(v)) return E_INVALIDARG;  // also NaN
  double whole = std::trunc(v);
  int64_t day = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(v - whole) * kSecondsPerDay);
  if (seconds >= kSecondsPerDay) {
    // 23:59:59.6 rounds into the next calendar day, whichever side of day 0 it is on.
    day += 1;
    seconds -= kSecondsPerDay;
  }
  DateParts p;
  p.day = day;
  CivilFromDays(day - kEpochDay, &p.year, &p.month, &p.mday);
  if (p.year > 9999) return E_INVALIDARG;
  p.hour = static_cast<int>(seconds / 3600);
  p.minute = static_cast<int>(seconds / 60 % 60);
  p.second = static_cast<int>(seconds % 60);
  *out = p;
  return S_OK;
}

std::string TimeText(const DateParts& p) {
  int hour12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
  char buf[48];
  std::snprintf(buf, sizeof(buf), "%d:%02d:%02d %s", hour12, p.minute, p.second,
                p.hour < 12 ? "AM" : "PM");
  return buf;
}

HRESULT DateToText(double v, std::string* out) {
  DateParts p;
  ZEL_TRY(SplitDate(v, &p));
  if (p.day == 0) {
    *out = TimeText(p);
    return S_OK;
  }
  char buf[48];
  std::snprintf(buf, sizeof(buf), "%d/%d/%04lld", p.month, p.mday, static_cast<long long>(p.year));
  *out = buf;
  if (p.hour != 0 || p.minute != 0 || p.second != 0) *out += " " + TimeText(p);
  return S_OK;
}

// A cursor over date text.
class DateScanner {
 public:
  explicit DateScanner(std::string_view s) : s_(s) {}
  bool AtEnd() const { return i_ == s_.size(); }
  size_t pos() const { return i_; }
  void Reset(size_t pos) { i_ = pos; }
  bool Peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool Take(char c) {
    if (!Peek(c)) return false;
    ++i_;
    return true;
  }
  // Skips blanks; true when there were any.
  bool SkipBlanks() {
    size_t start = i_;
    while (i_ < s_.size() && IsBlank(s_[i_])) ++i_;
    return i_ != start;
  }
  // 1 to max_digits decimal digits; *count receives how many were read.
  bool Number(int max_digits, int* value, int* count = nullptr) {
    int v = 0, k = 0;
    while (i_ < s_.size() && IsDigit(s_[i_]) && k < max_digits) {
      v = v * 10 + (s_[i_++] - '0');
      ++k;
    }
    if (k == 0 || (i_ < s_.size() && IsDigit(s_[i_]))) return false;
    *value = v;
    if (count != nullptr) *count = k;
    return true;
  }
  // "AM" / "PM" in any case: 0 for AM, 12 for PM, -1 when neither follows.
  int Meridiem() {
    if (i_ + 2 > s_.size()) return -1;
    char a = static_cast<char>(std::toupper(static_cast<unsigned char>(s_[i_])));
    char m = static_cast<char>(std::toupper(static_cast<unsigned char>(s_[i_ + 1])));
    if ((a != 'A' && a != 'P') || m != 'M') return -1;
    i_ += 2;
    return a == 'A' ? 0 : 12;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

// Reads "H:MM[:SS] [AM|PM]" or "H AM|PM" into seconds since midnight.
bool ScanTime(DateScanner* sc, int64_t* seconds) {
  int hour = 0, minute = 0, second = 0;
  if (!sc->Number(2, &hour)) return false;
  bool colon = sc->Take(':');
  if (colon) {
    if (!sc->Number(2, &minute)) return false;
    if (sc->Take(':') && !sc->Number(2, &second)) return false;
  }
  size_t before = sc->pos();
  sc->SkipBlanks();
  int meridiem = sc->Meridiem();
  if (meridiem < 0) {
    sc->Reset(before);
    if (!colon) return false;
    if (hour > 23) return false;
  } else {
    if (hour > 12) return false;
    hour = hour % 12 + meridiem;  // 12 AM is midnight, 12 PM is noon
  }
  if (minute > 59 || second > 59) return false;
  *seconds = hour * 3600 + minute * 60 + second;
  return true;
}

// Years written with one or two digits fall in 1930-2029.
int64_t WindowYear(int year, int digits) {
  if (digits > 2) return year;
  return year < 30 ? 2000 + year : 1900 + year;
}

HRESULT CheckCalendarDate(int64_t year, int month, int day) {
  if (month < 1 || month > 12 || day < 1) return DISP_E_TYPEMISMATCH;
  if (day > DaysInMonth(year, month)) return DISP_E_TYPEMISMATCH;
  if (year < 100 || year > 9999) return DISP_E_OVERFLOW;
  return S_OK;
}

HRESULT ParseDateText(std::string_view text, Date* out) {
  std::string_view s = TrimBlanks(text);
  if (s.empty()) return DISP_E_TYPEMISMATCH;
  DateScanner sc(s);
  int a = 0, b = 0, c = 0, a_digits = 0, c_digits = 0;
  int64_t seconds = 0;
  bool have_date = false;
  int64_t year = 0;
  int month = 0, day = 0;
  bool iso = false;
  if (sc.Number(4, &a, &a_digits)) {
    if (a_digits == 4 && sc.Take('-')) {
      // YYYY-MM-DD
      if (!sc.Number(2, &b) || !sc.Take('-') || !sc.Number(2, &c)) return DISP_E_TYPEMISMATCH;
      year = a;
      month = b;
      day = c;
      have_date = iso = true;
    } else if (a_digits <= 2 && sc.Take('/')) {
      // M/D/Y
      if (!sc.Number(2, &b) || !sc.Take('/') || !sc.Number(5, &c, &c_digits)) {
        return DISP_E_TYPEMISMATCH;
      }
      year = WindowYear(c, c_digits);
      month = a;
      day = b;
      have_date = true;
    } else {
      sc.Reset(0);
    }
  }
  if (have_date) {
    ZEL_TRY(CheckCalendarDate(year, month, day));
    bool separated = sc.SkipBlanks();
    if (iso && !separated && sc.Take('T')) {
      if (!ScanTime(&sc, &seconds)) return DISP_E_TYPEMISMATCH;
    } else if (separated && !sc.AtEnd()) {
      if (!ScanTime(&sc, &seconds)) return DISP_E_TYPEMISMATCH;
    }
  } else if (!ScanTime(&sc, &seconds)) {
    return DISP_E_TYPEMISMATCH;
  }
  if (!sc.AtEnd()) return DISP_E_TYPEMISMATCH;
  int64_t day_number = have_date ? DaysFromCivil(year, month, day) + kEpochDay : 0;
  *out = Date{DateValue(day_number, seconds)};
  return S_OK;
}

// ---- Conversions between variants --------------------------------------------------------

// An object whose default member returns another object is read again, this many times at most
// (the platform recurses without a bound; a cycle here must not exhaust the stack).
constexpr int kMaxDefaultValueDepth = 8;

HRESULT Convert(const Variant& src, VARTYPE vt, Variant* out, int depth);

HRESULT ToText(const Variant& src, Variant* out) {
  switch (src.vt()) {
    case VT_EMPTY:
      *out = Variant::Str("");
      return S_OK;
    case VT_BOOL:
      *out = Variant::Str(src.boolean() ? "True" : "False");
      return S_OK;
    case VT_R4:
      *out = Variant::Str(FormatReal(src.r4(), 7));
      return S_OK;
    case VT_R8:
      *out = Variant::Str(RealToText(src.r8()));
      return S_OK;
    case VT_DATE: {
      std::string text;
      ZEL_TRY(DateToText(src.r8(), &text));
      *out = Variant::Str(std::move(text));
      return S_OK;
    }
    default:
      break;
  }
  Number n = NumberOf(src);
  *out =
      Variant::Str(n.kind == Number::Kind::kUnsigned ? std::to_string(n.u) : std::to_string(n.s));
  return S_OK;
}

HRESULT FromText(const BStr& text, VARTYPE vt, Variant* out) {
  const std::string& s = text.str();  // a null string reads as ""
  if (vt == VT_DATE) {
    Date d;
    ZEL_TRY(ParseDateText(s, &d));
    *out = Variant::FromDate(d);
    return S_OK;
  }
  if (vt == VT_BOOL) {
    std::string_view word = TrimBlanks(s);
    if (EqualsIgnoreAsciiCase(word, "True")) {
      *out = Variant::Bool(true);
      return S_OK;
    }
    if (EqualsIgnoreAsciiCase(word, "False")) {
      *out = Variant::Bool(false);
      return S_OK;
    }
  }
  NumberText num;
  ZEL_TRY(ParseNumberText(s, &num));
  if (IsInteger(vt)) return TextToInteger(num, vt, out);
  double d = 0;
  ZEL_TRY(TextToDouble(num, &d));
  return NumberToScalar(RealNumber(d), vt, out);
}

// VT_DISPATCH <-> VT_UNKNOWN by query; a null object stays null.
HRESULT ToObject(const Variant& src, VARTYPE vt, Variant* out) {
  if (src.vt() != VT_DISPATCH && src.vt() != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  IUnknown* object = src.unknown();
  if (object == nullptr) {
    *out = vt == VT_DISPATCH ? Variant::Dispatch(nullptr) : Variant::Unknown(nullptr);
    return S_OK;
  }
  void* found = nullptr;
  ZEL_TRY(object->QueryInterface(vt == VT_DISPATCH ? IDispatch::kIid : IUnknown::kIid, &found));
  if (vt == VT_DISPATCH) {
    ComPtr<IDispatch> d = ComPtr<IDispatch>::Adopt(static_cast<IDispatch*>(found));
    *out = Variant::Dispatch(d.get());
  } else {
    ComPtr<IUnknown> u = ComPtr<IUnknown>::Adopt(static_cast<IUnknown*>(found));
    *out = Variant::Unknown(u.get());
  }
  return S_OK;
}

// An object as a scalar: its default member (dispid 0, property get), converted. A null object,
// a failing read or an object without a default member is a type mismatch.
HRESULT FromDefaultValue(IDispatch* object, VARTYPE vt, Variant* out, int depth) {
  if (object == nullptr || depth >= kMaxDefaultValueDepth) return DISP_E_TYPEMISMATCH;
  Variant value;
  if (Failed(object->Invoke(DISPID_VALUE, DISPATCH_PROPERTYGET, {}, &value))) {
    return DISP_E_TYPEMISMATCH;
  }
  return Convert(value, vt, out, depth + 1);
}

HRESULT Convert(const Variant& src, VARTYPE vt, Variant* out, int depth) {
  const VARTYPE from = src.vt();
  if (!IsValidSource(from) || !IsValidTarget(vt)) return DISP_E_BADVARTYPE;
  if (from == vt || vt == VT_VARIANT) {
    *out = src;
    return S_OK;
  }
  if (((from | vt) & VT_ARRAY) != 0) return DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY || vt == VT_NULL) {
    // Any scalar but NULL and ERROR may be emptied (or made NULL) without being read.
    if (from == VT_NULL || from == VT_ERROR) return DISP_E_TYPEMISMATCH;
    *out = vt == VT_NULL ? Variant::Null() : Variant();
    return S_OK;
  }
  if (from == VT_NULL || from == VT_ERROR || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return ToObject(src, vt, out);
  if (from == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  if (from == VT_DISPATCH) return FromDefaultValue(src.dispatch(), vt, out, depth);
  if (vt == VT_BSTR) return ToText(src, out);
  if (from == VT_BSTR) return FromText(src.bstr(), vt, out);
  return NumberToScalar(NumberOf(src), vt, out);
}

}  // namespace

HRESULT ChangeType(const Variant& src, VARTYPE vt, Variant* dest) {
  if (dest == nullptr) return E_POINTER;
  Variant result;  // dest may be src itself
  ZEL_TRY(Convert(src, vt, &result, 0));
  *dest = std::move(result);
  return S_OK;
}

std::string RealToText(double value) { return FormatReal(value, 15); }

HRESULT DateFromTm(const std::tm& local, Date* out) {
  if (out == nullptr) return E_POINTER;
  const int64_t year = int64_t{local.tm_year} + 1900;
  if (year < 100 || year > 9999) return DISP_E_OVERFLOW;
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 ||
      local.tm_mday > DaysInMonth(year, local.tm_mon + 1) || local.tm_hour < 0 ||
      local.tm_hour > 23 || local.tm_min < 0 || local.tm_min > 59 || local.tm_sec < 0 ||
      local.tm_sec > 60) {  // 60: a leap second, carried into the next minute
    return E_INVALIDARG;
  }
  int64_t day = DaysFromCivil(year, local.tm_mon + 1, local.tm_mday) + kEpochDay;
  int64_t seconds = int64_t{local.tm_hour} * 3600 + local.tm_min * 60 + local.tm_sec;
  double v = DateValue(day, seconds);
  if (!IsDateInRange(v)) return DISP_E_OVERFLOW;  // 31 December 9999 23:59:60
  *out = Date{v};
  return S_OK;
}

HRESULT TmFromDate(Date date, std::tm* local) {
  if (local == nullptr) return E_POINTER;
  DateParts p;
  ZEL_TRY(SplitDate(date.value, &p));
  std::tm t{};
  t.tm_year = static_cast<int>(p.year - 1900);
  t.tm_mon = p.month - 1;
  t.tm_mday = p.mday;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  const int64_t epoch_day = p.day - kEpochDay;
  t.tm_wday = static_cast<int>(((epoch_day % 7) + 7 + 4) % 7);  // 1 January 1970 was a Thursday
  t.tm_yday = static_cast<int>(epoch_day - DaysFromCivil(p.year, 1, 1));
  t.tm_isdst = -1;  // local time of unknown daylight-saving state
  *local = t;
  return S_OK;
}

Date DateFromTimeT(std::time_t t) {
  std::tm local{};
  // Times the C library cannot break down (far beyond any date) give the date 0.
  if (localtime_r(&t, &local) == nullptr) return Date{};
  int64_t day =
      DaysFromCivil(int64_t{local.tm_year} + 1900, local.tm_mon + 1, local.tm_mday) + kEpochDay;
  int64_t seconds = int64_t{local.tm_hour} * 3600 + local.tm_min * 60 + local.tm_sec;
  return Date{DateValue(day, seconds)};
}

std::time_t TimeTFromDate(Date date) {
  std::tm local{};
  // Dates outside years 100 to 9999 have no time: -1, as mktime reports it.
  if (Failed(TmFromDate(date, &local))) return static_cast<std::time_t>(-1);
  return std::mktime(&local);
}

}  // namespace zel
