// Variant conversions: integer widths and overflow, rounding, text both ways, booleans, dates
// (text, broken-down time, time_t), the NULL/EMPTY/ERROR rules, objects, and the two users of
// conversion inside the platform layer: property-bag reads and SafeArray element stores.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>

#include "platform/dispatch.h"
#include "platform/property_bag.h"
#include "platform/safe_array.h"
#include "platform/variant.h"

namespace zel {

// Readable failures: the type tag and the value as text.
void PrintTo(const Variant& v, std::ostream* os) {
  Variant text;
  *os << "vt=" << v.vt();
  if (Succeeded(ChangeType(v, VT_BSTR, &text))) *os << " \"" << text.bstr().str() << "\"";
}

namespace {

struct Converted {
  HRESULT hr;
  Variant value;
};

Converted To(VARTYPE vt, const Variant& src) {
  Converted c{E_FAIL, Variant()};
  c.hr = ChangeType(src, vt, &c.value);
  return c;
}

// The value as text, or the failure's name.
std::string Text(const Variant& src) {
  Converted c = To(VT_BSTR, src);
  return Succeeded(c.hr) ? c.value.bstr().str() : StatusName(c.hr);
}

std::string DateText(double d) { return Text(Variant::FromDate(Date{d})); }

Variant S(const char* text) { return Variant::Str(text); }

// ---- Integers and reals --------------------------------------------------------------------

TEST(VariantConvertTest, IntegerNarrowingChecksTheTargetRange) {
  EXPECT_EQ(Variant::UI1(255), To(VT_UI1, Variant::I4(255)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, Variant::I4(256)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, Variant::I4(-1)).hr);
  EXPECT_EQ(Variant::I1(-128), To(VT_I1, Variant::I2(-128)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I1, Variant::I2(-129)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I2, Variant::UI2(32768)).hr);
  EXPECT_EQ(Variant::I4(std::numeric_limits<int32_t>::min()),
            To(VT_I4, Variant::I8(std::numeric_limits<int32_t>::min())).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, Variant::I8(int64_t{1} << 31)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_INT, Variant::UI4(0x80000000u)).hr);
  EXPECT_EQ(Variant::UInt(0xFFFFFFFFu), To(VT_UINT, Variant::UI8(0xFFFFFFFFu)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UINT, Variant::Int(-5)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I8, Variant::UI8(uint64_t{1} << 63)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI8, Variant::I8(-1)).hr);
  // Widening keeps the value and takes the target's tag.
  Converted wide = To(VT_I8, Variant::UI4(0xFFFFFFFFu));
  ASSERT_EQ(S_OK, wide.hr);
  EXPECT_EQ(VT_I8, wide.value.vt());
  EXPECT_EQ(0xFFFFFFFFll, wide.value.i8());
  EXPECT_EQ(Variant::R8(-7), To(VT_R8, Variant::I1(-7)).value);
  EXPECT_EQ(Variant::R4(1e10f), To(VT_R4, Variant::I8(10000000000)).value);
}

TEST(VariantConvertTest, RealsRoundHalfToEvenThenCheckRange) {
  const struct {
    double in;
    int32_t out;
  } cases[] = {{2.5, 2},  {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {0.5, 0},    {1.5, 2},
               {-0.5, 0}, {2.4, 2}, {2.6, 3},   {-2.6, -3}, {1e-300, 0}, {2.5000000001, 3}};
  for (const auto& c : cases) {
    EXPECT_EQ(Variant::I4(c.out), To(VT_I4, Variant::R8(c.in)).value) << c.in;
  }
  EXPECT_EQ(Variant::I2(2), To(VT_I2, Variant::R4(2.5f)).value);
  EXPECT_EQ(Variant::I4(2), To(VT_I4, Variant::FromDate(Date{2.5})).value);
  // The range is checked on the rounded value.
  EXPECT_EQ(Variant::UI1(254), To(VT_UI1, Variant::R8(254.5)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, Variant::R8(255.5)).hr);
  EXPECT_EQ(Variant::UI1(0), To(VT_UI1, Variant::R8(-0.4)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, Variant::R8(-0.6)).hr);
  EXPECT_EQ(Variant::I4(std::numeric_limits<int32_t>::min()),
            To(VT_I4, Variant::R8(-2147483648.5)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, Variant::R8(2147483647.5)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I8, Variant::R8(9223372036854775808.0)).hr);
  EXPECT_EQ(Variant::UI8(uint64_t{1} << 63), To(VT_UI8, Variant::R8(9223372036854775808.0)).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI8, Variant::R8(18446744073709551616.0)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, Variant::R8(std::nan(""))).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, Variant::R8(INFINITY)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_R4, Variant::R8(1e39)).hr);
  EXPECT_EQ(Variant::R4(-2.5f), To(VT_R4, Variant::R8(-2.5)).value);
}

TEST(VariantConvertTest, NumbersAsText) {
  EXPECT_EQ("-128", Text(Variant::I1(-128)));
  EXPECT_EQ("255", Text(Variant::UI1(255)));
  EXPECT_EQ("-9223372036854775808", Text(Variant::I8(std::numeric_limits<int64_t>::min())));
  EXPECT_EQ("18446744073709551615", Text(Variant::UI8(std::numeric_limits<uint64_t>::max())));
  EXPECT_EQ("4294967295", Text(Variant::UInt(0xFFFFFFFFu)));
  EXPECT_EQ("1.5", Text(Variant::R8(1.5)));
  EXPECT_EQ("0.3", Text(Variant::R8(0.1 + 0.2)));
  EXPECT_EQ("0.1", Text(Variant::R4(0.1f)));
  EXPECT_EQ("1.234568E+07", Text(Variant::R4(12345678.0f)));
  EXPECT_EQ("1234567", Text(Variant::R4(1234567.0f)));
  EXPECT_EQ("VT_BSTR", Text(Variant::Str("VT_BSTR")));
}

TEST(VariantConvertTest, RealToTextDigitsAndExponentForm) {
  EXPECT_EQ("0", RealToText(0.0));
  EXPECT_EQ("0", RealToText(-0.0));
  EXPECT_EQ("100", RealToText(100));
  EXPECT_EQ("-2.25", RealToText(-2.25));
  EXPECT_EQ("0.333333333333333", RealToText(1.0 / 3));
  EXPECT_EQ("0.666666666666667", RealToText(2.0 / 3));
  EXPECT_EQ("123456789012345", RealToText(123456789012345.0));
  EXPECT_EQ("1E+15", RealToText(1e15));
  EXPECT_EQ("1E+15", RealToText(999999999999999.9));  // rounds up into the exponent form
  EXPECT_EQ("1.5E+20", RealToText(1.5e20));
  EXPECT_EQ("-1.23456789012346E+15", RealToText(-1234567890123456.0));
  EXPECT_EQ("0.00001", RealToText(1e-5));
  EXPECT_EQ("1.5E-06", RealToText(1.5e-6));
  EXPECT_EQ("1E-300", RealToText(1e-300));
  EXPECT_EQ("1.79769313486232E+308", RealToText(std::numeric_limits<double>::max()));
  EXPECT_EQ("NaN", RealToText(std::nan("")));
  EXPECT_EQ("-Infinity", RealToText(-INFINITY));
}

// ---- Text to numbers -------------------------------------------------------------------------

TEST(VariantConvertTest, TextToNumbersAllowsBlanksSignsAndExponent) {
  EXPECT_EQ(Variant::I4(12), To(VT_I4, S(" 12 ")).value);
  EXPECT_EQ(Variant::I4(-7), To(VT_I4, S("\t-7\r\n")).value);
  EXPECT_EQ(Variant::I4(3), To(VT_I4, S("+3")).value);
  EXPECT_EQ(Variant::I2(15), To(VT_I2, S("1.5e1")).value);
  EXPECT_EQ(Variant::I2(1000), To(VT_I2, S("1E+3")).value);
  EXPECT_EQ(Variant::I4(0), To(VT_I4, S("1e-1")).value);
  EXPECT_EQ(Variant::I4(2), To(VT_I4, S("2.5")).value);
  EXPECT_EQ(Variant::I4(4), To(VT_I4, S("3.5")).value);
  EXPECT_EQ(Variant::I4(-2), To(VT_I4, S("-2.5")).value);
  // Decided on the digits, not on a nearby double.
  EXPECT_EQ(Variant::I4(3), To(VT_I4, S("2.50000000000000000000001")).value);
  EXPECT_EQ(Variant::I4(5), To(VT_I4, S("5.")).value);
  EXPECT_EQ(Variant::R8(0.5), To(VT_R8, S(".5")).value);
  EXPECT_EQ(Variant::R8(3.25), To(VT_R8, S("  3.25  ")).value);
  EXPECT_EQ(Variant::R8(1e22), To(VT_R8, S("10000000000000000000000")).value);
  EXPECT_EQ(Variant::R8(0), To(VT_R8, S("1e-400")).value);
  EXPECT_EQ(Variant::R4(0.25f), To(VT_R4, S("0.25")).value);
  EXPECT_EQ(Variant::I8(std::numeric_limits<int64_t>::min()),
            To(VT_I8, S("-9223372036854775808")).value);
  EXPECT_EQ(Variant::UI8(std::numeric_limits<uint64_t>::max()),
            To(VT_UI8, S("18446744073709551615")).value);
}

TEST(VariantConvertTest, TextFormsOfTheStandardNumberParse) {
  EXPECT_EQ(Variant::I4(1234567), To(VT_I4, S("1,234,567")).value);
  EXPECT_EQ(Variant::I4(-5), To(VT_I4, S("(5)")).value);
  EXPECT_EQ(Variant::I4(-5), To(VT_I4, S("5-")).value);
  EXPECT_EQ(Variant::I4(5), To(VT_I4, S("$5")).value);
  EXPECT_EQ(Variant::UI1(255), To(VT_UI1, S("&HFF")).value);
  EXPECT_EQ(Variant::UI1(255), To(VT_UI1, S("&hff")).value);
  EXPECT_EQ(Variant::I4(15), To(VT_I4, S("&O17")).value);
  // Hexadecimal fills the target's bits: all ones is -1 for a signed target.
  EXPECT_EQ(Variant::I2(-1), To(VT_I2, S("&HFFFF")).value);
  EXPECT_EQ(Variant::I4(-1), To(VT_I4, S("&HFFFFFFFF")).value);
  EXPECT_EQ(Variant::I4(0xFFFF), To(VT_I4, S("&HFFFF")).value);
  EXPECT_EQ(Variant::R8(65535), To(VT_R8, S("&HFFFF")).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, S("&H100")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I8, S("&H10000000000000000")).hr);
}

TEST(VariantConvertTest, TextThatIsNotANumberIsATypeMismatch) {
  for (const char* bad : {"",    " ",   "12abc", "abc",    "1.2.3", "1e",  "1e+",    "+",
                          "-",   ".",   "--1",   "1 2",    "(5",    "5)",  ",5",     "&H",
                          "&HG", "&O8", "0x10",  "1,5.5.", "nan",   "inf", "12 abc", "$"}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, S(bad)).hr) << '"' << bad << '"';
    EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_R8, S(bad)).hr) << '"' << bad << '"';
  }
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, Variant::Str(BStr())).hr);  // null reads as ""
}

TEST(VariantConvertTest, NumericTextThatDoesNotFitIsAnOverflow) {
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, S("256")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, S("-1")).hr);
  EXPECT_EQ(Variant::UI1(0), To(VT_UI1, S("-0.4")).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I2, S("32768")).hr);
  EXPECT_EQ(Variant::I2(-32768), To(VT_I2, S("-32768")).value);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I2, S("32767.5")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I8, S("9223372036854775808")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI8, S("18446744073709551616")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, S("99999999999999999999999999")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_I4, S("1e99999999999999")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_R8, S("1e400")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_R4, S("3.5e38")).hr);
}

// ---- Booleans --------------------------------------------------------------------------------

TEST(VariantConvertTest, BooleansBothWays) {
  const Variant t = Variant::Bool(true), f = Variant::Bool(false);
  EXPECT_EQ(Variant::I4(-1), To(VT_I4, t).value);
  EXPECT_EQ(Variant::I2(0), To(VT_I2, f).value);
  // Unsigned targets take True's bits.
  EXPECT_EQ(Variant::UI1(255), To(VT_UI1, t).value);
  EXPECT_EQ(Variant::UI2(0xFFFF), To(VT_UI2, t).value);
  EXPECT_EQ(Variant::UI8(std::numeric_limits<uint64_t>::max()), To(VT_UI8, t).value);
  EXPECT_EQ(Variant::R8(-1), To(VT_R8, t).value);
  EXPECT_EQ(Variant::FromDate(Date{-1}), To(VT_DATE, t).value);
  EXPECT_EQ("True", Text(t));
  EXPECT_EQ("False", Text(f));
  EXPECT_EQ("True", Text(Variant::BoolRaw(1)));  // any non-zero bits are true

  // Any non-zero number is True, stored as -1 (0xFFFF).
  for (const Variant& v : {Variant::I4(7), Variant::UI1(1), Variant::R8(0.25), Variant::I8(-3),
                           Variant::FromDate(Date{1.5})}) {
    Converted b = To(VT_BOOL, v);
    ASSERT_EQ(S_OK, b.hr);
    EXPECT_EQ(VARIANT_TRUE, b.value.boolVal());
  }
  EXPECT_EQ(Variant::Bool(false), To(VT_BOOL, Variant::R8(0.0)).value);
  EXPECT_EQ(Variant::Bool(false), To(VT_BOOL, Variant::UI8(0)).value);

  EXPECT_EQ(t, To(VT_BOOL, S(" tRuE ")).value);
  EXPECT_EQ(f, To(VT_BOOL, S("FALSE")).value);
  EXPECT_EQ(t, To(VT_BOOL, S("1")).value);
  EXPECT_EQ(t, To(VT_BOOL, S("-0.5")).value);
  EXPECT_EQ(f, To(VT_BOOL, S(" 0.0 ")).value);
  EXPECT_EQ(t, To(VT_BOOL, S("&H10")).value);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BOOL, S("yes")).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BOOL, S("")).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BOOL, S("Truex")).hr);
}

// ---- Dates -----------------------------------------------------------------------------------

// Automation day numbers of well-known dates.
constexpr double kDay19000101 = 2;
constexpr double kDay20000101 = 36526;
constexpr double kDay19700101 = 25569;
constexpr double kDay01000101 = -657434;
constexpr double kDay99991231 = 2958465;

double Seconds(int h, int m, int s) { return (h * 3600 + m * 60 + s) / 86400.0; }

// 6 December 2026 counted from 1 January 2000: 26 years of which 7 leap (2000 ... 2024), then
// the 334 days of January to November 2026 and 5 more (46362).
constexpr double kDay20261206 = kDay20000101 + 26 * 365 + 7 + 334 + 5;

std::tm MakeTm(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(VariantConvertTest, DatesAsText) {
  const double pm = kDay20261206 + Seconds(14, 5, 9);
  EXPECT_EQ("12/6/2026 2:05:09 PM", DateText(pm));
  EXPECT_EQ("12/6/2026", DateText(kDay20261206));        // midnight: the date alone
  EXPECT_EQ("2:05:09 PM", DateText(Seconds(14, 5, 9)));  // date part 0: the time alone
  EXPECT_EQ("12:00:00 AM", DateText(0));
  EXPECT_EQ("12:00:00 PM", DateText(0.5));
  EXPECT_EQ("1/1/2000 12:00:01 AM", DateText(kDay20000101 + Seconds(0, 0, 1)));
  EXPECT_EQ("1/1/1900", DateText(kDay19000101));
  EXPECT_EQ("12/31/9999 11:59:59 PM", DateText(kDay99991231 + Seconds(23, 59, 59)));
  EXPECT_EQ("1/1/0100", DateText(kDay01000101));
  // Before day 0 the fraction counts away from zero: -1.25 is 29 December 1899, 06:00.
  EXPECT_EQ("12/29/1899 6:00:00 AM", DateText(-1.25));
  EXPECT_EQ("6:00:00 AM", DateText(-0.25));
  // Seconds round to the nearest, carrying into the next day.
  EXPECT_EQ("12/6/2026 2:05:10 PM", DateText(pm + 0.6 / 86400));
  EXPECT_EQ("12/7/2026", DateText(kDay20261206 + Seconds(23, 59, 59) + 0.7 / 86400));
  // -1.9999999999 is 29 December 1899 just before midnight: it rounds to day 0, a time alone.
  EXPECT_EQ("12:00:00 AM", DateText(-1.9999999999));
  // A date value outside years 100 to 9999 has no text.
  EXPECT_EQ("E_INVALIDARG", DateText(kDay99991231 + 1));
  EXPECT_EQ("E_INVALIDARG", DateText(std::nan("")));
}

TEST(VariantConvertTest, DatesFromText) {
  auto parse = [](const char* text) -> double {
    Converted c = To(VT_DATE, S(text));
    EXPECT_EQ(S_OK, c.hr) << text;
    return c.value.date().value;
  };
  const double pm = kDay20261206 + Seconds(14, 5, 9);
  EXPECT_DOUBLE_EQ(pm, parse("12/6/2026 2:05:09 PM"));
  EXPECT_DOUBLE_EQ(pm, parse("  12/06/2026   2:05:09 pm "));
  EXPECT_DOUBLE_EQ(pm, parse("12/6/2026 14:05:09"));
  EXPECT_DOUBLE_EQ(kDay20261206, parse("12/6/2026"));
  EXPECT_DOUBLE_EQ(Seconds(14, 5, 9), parse("2:05:09 PM"));
  EXPECT_DOUBLE_EQ(Seconds(14, 5, 0), parse("14:05"));
  EXPECT_DOUBLE_EQ(Seconds(14, 0, 0), parse("2 PM"));
  EXPECT_DOUBLE_EQ(0, parse("12:00 AM"));
  EXPECT_DOUBLE_EQ(0.5, parse("12:00:00 PM"));
  EXPECT_DOUBLE_EQ(kDay20261206, parse("2026-12-06"));
  EXPECT_DOUBLE_EQ(pm, parse("2026-12-06 14:05:09"));
  EXPECT_DOUBLE_EQ(pm, parse("2026-12-06T14:05:09"));
  EXPECT_DOUBLE_EQ(kDay20261206, parse("12/6/26"));  // two-digit years: 00-29 are 2000s
  EXPECT_DOUBLE_EQ(kDay19700101, parse("1/1/70"));   // 30-99 are 1900s
  EXPECT_DOUBLE_EQ(-1.25, parse("12/29/1899 6:00 AM"));
  EXPECT_DOUBLE_EQ(kDay01000101, parse("1/1/0100"));

  for (const char* bad : {"",
                          "hello",
                          "2/30/2026",
                          "2/29/2025",
                          "13/1/2026",
                          "0/1/2026",
                          "12/6",
                          "12/6/2026 25:00",
                          "24:00",
                          "13:00 PM",
                          "12:60",
                          "2:05:60",
                          "12/6/2026T14:05",
                          "2026-12-06 T14:05",
                          "2026-13-01",
                          "12-6-2026",
                          "12/6/2026 2:05:09 PM x",
                          "2",
                          "2:05 XM",
                          "45000"}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_DATE, S(bad)).hr) << '"' << bad << '"';
  }
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, S("1/1/10000")).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, S("12/31/0099")).hr);
}

TEST(VariantConvertTest, DateTextRoundTripsAtSecondResolution) {
  // Spread over the whole range, including negative dates with times.
  uint64_t state = 12345;
  for (int i = 0; i < 3000; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    double unit = static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
    double whole = std::floor(kDay01000101 + unit * (kDay99991231 - kDay01000101));
    double seconds = static_cast<double>((state >> 3) % 86400);
    double v = whole >= 0 ? whole + seconds / 86400 : whole - seconds / 86400;
    std::string text = DateText(v);
    Converted back = To(VT_DATE, S(text.c_str()));
    ASSERT_EQ(S_OK, back.hr) << text;
    ASSERT_NEAR(v, back.value.date().value, 1e-9) << text;
  }
}

TEST(VariantConvertTest, NumbersToDatesAreRangeChecked) {
  EXPECT_EQ(Variant::FromDate(Date{2.5}), To(VT_DATE, Variant::R8(2.5)).value);
  EXPECT_EQ(Variant::FromDate(Date{36526}), To(VT_DATE, Variant::I4(36526)).value);
  EXPECT_EQ(Variant::R8(-1.25), To(VT_R8, Variant::FromDate(Date{-1.25})).value);
  EXPECT_EQ(S_OK, To(VT_DATE, Variant::R8(kDay99991231 + 0.99)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, Variant::R8(kDay99991231 + 1)).hr);
  EXPECT_EQ(S_OK, To(VT_DATE, Variant::R8(kDay01000101 - 0.99)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, Variant::R8(kDay01000101 - 1)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, Variant::I8(int64_t{1} << 40)).hr);
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_DATE, Variant::R8(std::nan(""))).hr);
}

TEST(VariantConvertTest, DatesAndBrokenDownTime) {
  Date d;
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(2000, 1, 1), &d));
  EXPECT_EQ(kDay20000101, d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(1900, 1, 1), &d));
  EXPECT_EQ(kDay19000101, d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(1899, 12, 30, 12), &d));
  EXPECT_EQ(0.5, d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(1899, 12, 29, 6), &d));
  EXPECT_EQ(-1.25, d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(100, 1, 1), &d));
  EXPECT_EQ(kDay01000101, d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(2026, 12, 6, 14, 5, 9), &d));
  EXPECT_DOUBLE_EQ(kDay20261206 + Seconds(14, 5, 9), d.value);
  ASSERT_EQ(S_OK, DateFromTm(MakeTm(2024, 2, 29), &d));

  EXPECT_EQ(DISP_E_OVERFLOW, DateFromTm(MakeTm(99, 12, 31), &d));
  EXPECT_EQ(DISP_E_OVERFLOW, DateFromTm(MakeTm(10000, 1, 1), &d));
  EXPECT_EQ(E_INVALIDARG, DateFromTm(MakeTm(2025, 2, 29), &d));
  EXPECT_EQ(E_INVALIDARG, DateFromTm(MakeTm(2025, 13, 1), &d));
  EXPECT_EQ(E_INVALIDARG, DateFromTm(MakeTm(2025, 1, 0), &d));
  EXPECT_EQ(E_INVALIDARG, DateFromTm(MakeTm(2025, 1, 1, 24), &d));
  EXPECT_EQ(E_INVALIDARG, DateFromTm(MakeTm(2025, 1, 1, 0, -1), &d));
  EXPECT_EQ(E_POINTER, DateFromTm(MakeTm(2025, 1, 1), nullptr));

  std::tm t{};
  ASSERT_EQ(S_OK, TmFromDate(Date{kDay20261206 + Seconds(14, 5, 9)}, &t));
  EXPECT_EQ(126, t.tm_year);
  EXPECT_EQ(11, t.tm_mon);
  EXPECT_EQ(6, t.tm_mday);
  EXPECT_EQ(14, t.tm_hour);
  EXPECT_EQ(5, t.tm_min);
  EXPECT_EQ(9, t.tm_sec);
  EXPECT_EQ(0, t.tm_wday);  // a Sunday
  EXPECT_EQ(339, t.tm_yday);
  EXPECT_EQ(-1, t.tm_isdst);
  ASSERT_EQ(S_OK, TmFromDate(Date{-1.25}, &t));
  EXPECT_EQ(-1, t.tm_year);
  EXPECT_EQ(11, t.tm_mon);
  EXPECT_EQ(29, t.tm_mday);
  EXPECT_EQ(6, t.tm_hour);
  EXPECT_EQ(5, t.tm_wday);  // a Friday
  // Rounded to the nearest second, carrying across midnight and the year.
  ASSERT_EQ(S_OK, TmFromDate(Date{kDay20000101 - 0.4 / 86400}, &t));
  EXPECT_EQ(100, t.tm_year);
  EXPECT_EQ(0, t.tm_yday);
  EXPECT_EQ(0, t.tm_hour);
  EXPECT_EQ(0, t.tm_sec);
  ASSERT_EQ(S_OK, TmFromDate(Date{kDay20000101 + 59.6 / 86400}, &t));
  EXPECT_EQ(1, t.tm_min);
  EXPECT_EQ(0, t.tm_sec);

  EXPECT_EQ(E_INVALIDARG, TmFromDate(Date{kDay99991231 + 1}, &t));
  EXPECT_EQ(E_INVALIDARG, TmFromDate(Date{kDay01000101 - 1}, &t));
  EXPECT_EQ(E_INVALIDARG, TmFromDate(Date{std::nan("")}, &t));
  EXPECT_EQ(E_POINTER, TmFromDate(Date{0}, nullptr));

  // Every day of two years, including a leap day, through tm and back.
  for (double day = kDay20000101 - 366; day < kDay20000101 + 366; day += 1) {
    ASSERT_EQ(S_OK, TmFromDate(Date{day + 0.75}, &t));
    ASSERT_EQ(S_OK, DateFromTm(t, &d));
    ASSERT_EQ(day + 0.75, d.value);
  }
}

// Sets the process's time zone for one test (POSIX rule string: no zone files needed).
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(VariantConvertTest, TimeTConversionsGoThroughTheLocalZone) {
  ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
  // 2000-01-01 00:00 UTC is 31 December 1999, 19:00 in winter time.
  const std::time_t new_year = 946684800;
  EXPECT_DOUBLE_EQ(kDay20000101 - 1 + Seconds(19, 0, 0), DateFromTimeT(new_year).value);
  EXPECT_EQ(new_year, TimeTFromDate(DateFromTimeT(new_year)));
  // 2021-07-01 00:00 UTC is 30 June, 20:00 in summer time.
  const std::time_t summer = 1625097600;
  std::tm t{};
  ASSERT_EQ(S_OK, TmFromDate(DateFromTimeT(summer), &t));
  EXPECT_EQ(5, t.tm_mon);
  EXPECT_EQ(30, t.tm_mday);
  EXPECT_EQ(20, t.tm_hour);
  EXPECT_EQ(summer, TimeTFromDate(DateFromTimeT(summer)));
  EXPECT_DOUBLE_EQ(kDay19700101 - 1 + Seconds(19, 0, 0), DateFromTimeT(0).value);
  EXPECT_EQ(-1, TimeTFromDate(Date{kDay99991231 + 2}));
}

// ---- EMPTY, NULL, ERROR, arrays and bad types ------------------------------------------------

TEST(VariantConvertTest, EmptyConvertsToZeroValues) {
  const Variant empty;
  EXPECT_EQ(Variant::I4(0), To(VT_I4, empty).value);
  EXPECT_EQ(Variant::UI8(0), To(VT_UI8, empty).value);
  EXPECT_EQ(Variant::R8(0), To(VT_R8, empty).value);
  EXPECT_EQ(Variant::Bool(false), To(VT_BOOL, empty).value);
  EXPECT_EQ(Variant::FromDate(Date{0}), To(VT_DATE, empty).value);
  Converted text = To(VT_BSTR, empty);
  ASSERT_EQ(S_OK, text.hr);
  EXPECT_FALSE(text.value.bstr().IsNull());  // an empty string, not a null one
  EXPECT_EQ("", text.value.bstr().str());
  EXPECT_EQ(Variant::Null(), To(VT_NULL, empty).value);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_DISPATCH, empty).hr);
  // Any scalar may be emptied.
  EXPECT_EQ(Variant(), To(VT_EMPTY, S("x")).value);
  EXPECT_EQ(Variant::Null(), To(VT_NULL, Variant::I4(3)).value);
}

TEST(VariantConvertTest, NullAndErrorConvertOnlyToThemselves) {
  for (VARTYPE vt : {VT_EMPTY, VT_I4, VT_UI1, VT_R8, VT_DATE, VT_BOOL, VT_BSTR, VT_DISPATCH,
                     VT_UNKNOWN, VT_ERROR}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, To(vt, Variant::Null()).hr) << vt;
  }
  for (VARTYPE vt :
       {VT_EMPTY, VT_NULL, VT_I4, VT_I8, VT_R4, VT_DATE, VT_BOOL, VT_BSTR, VT_UNKNOWN}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, To(vt, Variant::Error(E_FAIL)).hr) << vt;
  }
  EXPECT_EQ(Variant::Null(), To(VT_NULL, Variant::Null()).value);
  EXPECT_EQ(Variant::Missing(), To(VT_ERROR, Variant::Missing()).value);
  EXPECT_EQ(Variant::Missing(), To(VT_VARIANT, Variant::Missing()).value);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_ERROR, Variant::I4(5)).hr);
}

TEST(VariantConvertTest, BadTypesArraysAndArguments) {
  EXPECT_EQ(DISP_E_BADVARTYPE, To(VT_CY, Variant::I4(1)).hr);
  EXPECT_EQ(DISP_E_BADVARTYPE, To(VT_DECIMAL, S("1")).hr);
  EXPECT_EQ(DISP_E_BADVARTYPE, To(15, Variant::I4(1)).hr);
  EXPECT_EQ(DISP_E_BADVARTYPE, To(VT_I4 | VT_BYREF, Variant::I4(1)).hr);
  EXPECT_EQ(DISP_E_BADVARTYPE, To(VT_ARRAY | VT_CY, Variant::I4(1)).hr);
  EXPECT_EQ(DISP_E_BADVARTYPE, To(0x0FFF, Variant::I4(1)).hr);
  // A stored tag of a type this runtime cannot hold.
  uint8_t raw[16] = {15, 0};
  EXPECT_EQ(DISP_E_BADVARTYPE, To(VT_I4, Variant::FromRawBytes(raw)).hr);

  const uint8_t bytes[] = {1, 2, 3};
  Variant array = Variant::Array(SafeArray::FromBytes(bytes));
  Converted same = To(VT_ARRAY | VT_UI1, array);
  ASSERT_EQ(S_OK, same.hr);
  EXPECT_EQ(array, same.value);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_ARRAY | VT_VARIANT, array).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BSTR, array).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_EMPTY, array).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_ARRAY | VT_I4, Variant::I4(1)).hr);
  EXPECT_EQ(array, To(VT_VARIANT, array).value);

  EXPECT_EQ(E_POINTER, ChangeType(Variant::I4(1), VT_I2, nullptr));
  // The destination may be the source; a failure leaves it as it was.
  Variant v = Variant::I4(42);
  ASSERT_EQ(S_OK, ChangeType(v, VT_BSTR, &v));
  EXPECT_EQ("42", v.bstr().str());
  EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(S("300"), VT_UI1, &v));
  EXPECT_EQ(S("42"), v);
}

// ---- Objects ---------------------------------------------------------------------------------

struct IPlain : IUnknown {
  static constexpr IID kIid = MakeGuid(0x5A5A0001, 0x1, 0x2, 0x0303030303030303);
};

// An object without IDispatch.
class Plain final : public IPlain {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IPlain>(this, iid, ppv);
  }
};

// An object whose default member returns `value` (or fails with `status`).
class Valued final : public IDispatch {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID id, uint16_t flags, std::span<const Variant> args,
                 Variant* result) override {
    ++reads;
    if (id != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || !args.empty()) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (Failed(status)) return status;
    *result = value;
    return S_OK;
  }
  Variant value;
  HRESULT status = S_OK;
  int reads = 0;
};

TEST(VariantConvertTest, DispatchReadsItsDefaultMember) {
  ComPtr<Valued> obj = MakeObject<Valued>();
  obj->value = S(" 42 ");
  const Variant ref = Variant::Dispatch(obj.get());
  EXPECT_EQ(Variant::I4(42), To(VT_I4, ref).value);
  EXPECT_EQ(Variant::UI1(42), To(VT_UI1, ref).value);
  EXPECT_EQ(S(" 42 "), To(VT_BSTR, ref).value);
  EXPECT_EQ(Variant::Bool(true), To(VT_BOOL, ref).value);
  obj->value = S("300");
  EXPECT_EQ(DISP_E_OVERFLOW, To(VT_UI1, ref).hr);  // the value's own conversion error
  obj->value = Variant::Null();
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, ref).hr);
  obj->status = DISP_E_MEMBERNOTFOUND;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, ref).hr);
  obj->status = E_FAIL;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BSTR, ref).hr);

  // A default member that returns another object is read through.
  ComPtr<Valued> outer = MakeObject<Valued>();
  obj->status = S_OK;
  obj->value = Variant::R8(2.5);
  outer->value = Variant::Dispatch(obj.get());
  EXPECT_EQ(Variant::I2(2), To(VT_I2, Variant::Dispatch(outer.get())).value);
  outer->value.Clear();

  // An object that returns itself ends in a mismatch, not in endless recursion.
  ComPtr<Valued> cycle = MakeObject<Valued>();
  cycle->value = Variant::Dispatch(cycle.get());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, Variant::Dispatch(cycle.get())).hr);
  EXPECT_LT(cycle->reads, 20);
  cycle->value.Clear();  // break the reference cycle

  // Emptying does not read the object.
  int reads = obj->reads;
  EXPECT_EQ(Variant(), To(VT_EMPTY, ref).value);
  EXPECT_EQ(reads, obj->reads);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, Variant::Dispatch(nullptr)).hr);
}

TEST(VariantConvertTest, ObjectsConvertByQuery) {
  ComPtr<Valued> obj = MakeObject<Valued>();
  {
    Converted unk = To(VT_UNKNOWN, Variant::Dispatch(obj.get()));
    ASSERT_EQ(S_OK, unk.hr);
    EXPECT_EQ(static_cast<IUnknown*>(obj.get()), unk.value.unknown());
    Converted back = To(VT_DISPATCH, unk.value);
    ASSERT_EQ(S_OK, back.hr);
    EXPECT_EQ(static_cast<IDispatch*>(obj.get()), back.value.dispatch());
  }
  EXPECT_EQ(1u, obj->RefCountForTesting());  // every reference taken was released

  ComPtr<Plain> plain = MakeObject<Plain>();
  EXPECT_EQ(E_NOINTERFACE, To(VT_DISPATCH, Variant::Unknown(plain.get())).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_I4, Variant::Unknown(plain.get())).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_BSTR, Variant::Unknown(plain.get())).hr);
  EXPECT_EQ(1u, plain->RefCountForTesting());

  Converted null_dispatch = To(VT_DISPATCH, Variant::Unknown(nullptr));
  ASSERT_EQ(S_OK, null_dispatch.hr);
  EXPECT_EQ(VT_DISPATCH, null_dispatch.value.vt());
  EXPECT_EQ(nullptr, null_dispatch.value.dispatch());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_DISPATCH, S("x")).hr);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, To(VT_UNKNOWN, Variant::I4(0)).hr);
}

// ---- Users of conversion: property bags and arrays -----------------------------------------

TEST(VariantConvertTest, PropertyBagReadsConvertToTheRequestedType) {
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  ASSERT_EQ(S_OK, bag->Write("COUNT", S(" 12 ")));
  ASSERT_EQ(S_OK, bag->Write("BIG", Variant::I4(300)));
  ASSERT_EQ(S_OK, bag->Write("FLAG", Variant::Bool(true)));
  ASSERT_EQ(S_OK, bag->Write("WHEN", S("2026-12-06 14:05:09")));

  Variant v = Variant::I4(0);
  ASSERT_EQ(S_OK, bag->Read("count", &v));
  EXPECT_EQ(Variant::I4(12), v);
  v = Variant::UI1(7);
  EXPECT_EQ(DISP_E_OVERFLOW, bag->Read("BIG", &v));
  EXPECT_EQ(Variant::UI1(7), v);  // untouched on failure
  v = Variant::Str("");
  ASSERT_EQ(S_OK, bag->Read("FLAG", &v));
  EXPECT_EQ(S("True"), v);
  v = Variant::FromDate(Date{});
  ASSERT_EQ(S_OK, bag->Read("WHEN", &v));
  EXPECT_DOUBLE_EQ(kDay20261206 + Seconds(14, 5, 9), v.date().value);
  v = Variant();
  ASSERT_EQ(S_OK, bag->Read("BIG", &v));  // VT_EMPTY asks for the stored type
  EXPECT_EQ(Variant::I4(300), v);
  EXPECT_EQ(E_INVALIDARG, bag->Read("FLAGS", &v));  // no such key
  v = Variant::I4(0);
  ASSERT_EQ(S_OK, bag->Write("NAME", S("Front door")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, bag->Read("NAME", &v));
  EXPECT_EQ(Variant::I4(0), v);
}

TEST(VariantConvertTest, SafeArrayPutElementConvertsToTheElementType) {
  SafeArray bytes(VT_UI1, 2);
  ASSERT_EQ(S_OK, bytes.PutElement(0, Variant::I4(200)));
  ASSERT_EQ(S_OK, bytes.PutElement(1, S(" 7 ")));
  EXPECT_EQ(DISP_E_OVERFLOW, bytes.PutElement(1, Variant::I4(256)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, bytes.PutElement(1, S("x")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, bytes.PutElement(1, Variant::Null()));
  EXPECT_EQ(DISP_E_BADINDEX, bytes.PutElement(2, Variant::I4(1)));
  EXPECT_EQ((std::vector<uint8_t>{200, 7}), bytes.bytes());  // failures changed nothing

  SafeArray strings(VT_BSTR, 3);
  ASSERT_EQ(S_OK, strings.PutElement(0, Variant::I4(5)));
  ASSERT_EQ(S_OK, strings.PutElement(1, Variant::Bool(false)));
  ASSERT_EQ(S_OK, strings.PutElement(2, Variant::R8(0.5)));
  Variant e;
  ASSERT_EQ(S_OK, strings.GetElement(0, &e));
  EXPECT_EQ(S("5"), e);
  ASSERT_EQ(S_OK, strings.GetElement(1, &e));
  EXPECT_EQ(S("False"), e);
  ASSERT_EQ(S_OK, strings.GetElement(2, &e));
  EXPECT_EQ(S("0.5"), e);

  SafeArray variants(VT_VARIANT, 1);
  ASSERT_EQ(S_OK, variants.PutElement(0, Variant::UI2(9)));
  ASSERT_EQ(S_OK, variants.GetElement(0, &e));
  EXPECT_EQ(Variant::UI2(9), e);  // kept as given
}

}  // namespace
}  // namespace zel
