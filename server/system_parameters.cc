#include "server/system_parameters.h"

#include <array>
#include <cstdio>

namespace zel {
namespace {

// The models share setup layouts in groups; each group has one column of the offset table.
// Model indexes 6 and 8 (and unknown models) have no column.
constexpr int kNoColumn = -1;
constexpr int kColumns = 8;
int ColumnOf(int model_index) {
  switch (model_index) {
    case 0:
      return 0;
    case 1:
    case 2:
      return 1;
    case 3:
      return 2;
    case 4:
      return 3;
    case 5:
      return 4;
    case 7:
      return 5;
    case 9:
      return 6;
    case 10:
      return 7;
    default:
      return kNoColumn;
  }
}

enum class Kind : uint8_t {
  kByte,        // one byte at the offset; the sub-index is ignored
  kTable,       // the byte at offset + sub-index
  kCodeRecord,  // a field of the 14-byte user code record of code sub-index + 1
  kCodeDate,    // hour, minute, month, day of a code record, as a date
  kSpecial,     // parameters 3, 5, 19, 20: handled by their own code
};

// A table cell: an offset into the block, or a constant returned without reading.
struct Cell {
  bool constant = false;
  int value = 0;
};
constexpr Cell Off(int offset) { return Cell{false, offset}; }
constexpr Cell Val(int value) { return Cell{true, value}; }

struct Parameter {
  Kind kind;
  std::array<Cell, kColumns> cells;  // columns: 0 | 1,2 | 3 | 4 | 5 | 7 | 9 | 10
};

// Parameters 1 to 20 (index 0 is parameter 1).
constexpr std::array<Parameter, kParamCount> kParameters = {{
    /* 1 */ {Kind::kByte,
             {Off(858), Off(2619), Off(750), Off(986), Off(3034), Off(986), Off(986), Off(3034)}},
    /* 2 */
    {Kind::kTable, {Off(904), Off(2755), Val(1), Off(1054), Off(3282), Off(1054), Val(1), Val(1)}},
    /* 3: user code, bytes 0 and 1 of the code record */
    {Kind::kSpecial,
     {Off(329), Off(383), Off(320), Off(329), Off(383), Off(329), Off(320), Off(320)}},
    /* 4: authority level, byte 2 of the code record */
    {Kind::kCodeRecord,
     {Off(331), Off(385), Off(322), Off(331), Off(385), Off(331), Off(322), Off(322)}},
    /* 5: no such parameter */ {Kind::kSpecial, {}},
    /* 6: access start, bytes 4 to 7 of the code record */
    {Kind::kCodeDate,
     {Off(333), Off(387), Off(324), Off(333), Off(387), Off(333), Off(324), Off(324)}},
    /* 7: access end, bytes 9 to 12 of the code record */
    {Kind::kCodeDate,
     {Off(338), Off(392), Off(329), Off(338), Off(392), Off(338), Off(329), Off(329)}},
    /* 8 */ {Kind::kTable, {Val(1), Off(2643), Val(1), Val(1), Off(3074), Val(1), Val(1), Val(1)}},
    /* 9: expansion type */
    {Kind::kTable,
     {Off(972), Off(2971), Off(777), Off(1134), Off(3514), Off(1134), Off(1031), Off(3139)}},
    /* 10 */
    {Kind::kTable, {Val(1), Off(2963), Val(1), Off(1126), Off(3498), Off(1126), Val(1), Val(1)}},
    /* 11: temperature format */
    {Kind::kByte,
     {Off(817), Off(2578), Off(709), Off(945), Off(2993), Off(945), Off(945), Off(2993)}},
    /* 12 */
    {Kind::kTable, {Off(924), Off(2795), Val(1), Off(1078), Off(3330), Off(1078), Val(1), Val(1)}},
    /* 13: thermostat type */
    {Kind::kTable,
     {Off(931), Off(2862), Off(754), Off(1085), Off(3397), Off(1085), Off(990), Off(3038)}},
    /* 14: time zone */
    {Kind::kByte,
     {Off(608), Off(1878), Off(478), Off(612), Off(1895), Off(612), Off(596), Off(1783)}},
    /* 15: zone area */
    {Kind::kTable, {Off(872), Off(2659), Val(1), Off(1006), Off(3106), Off(1006), Val(1), Val(1)}},
    /* 16: zone type */
    {Kind::kTable,
     {Off(684), Off(2317), Off(590), Off(780), Off(2572), Off(780), Off(780), Off(2572)}},
    /* 17: first house code */
    {Kind::kByte,
     {Off(672), Off(2304), Off(576), Off(768), Off(2560), Off(768), Off(768), Off(2560)}},
    /* 18: lighting format */
    {Kind::kTable, {Val(0), Val(0), Off(486), Off(622), Off(1917), Off(622), Off(604), Off(1791)}},
    /* 19: first blocks; the second blocks are below */
    {Kind::kSpecial,
     {Val(0), Val(0), Off(784), Off(1141), Off(3523), Off(1142), Off(1039), Off(3148)}},
    /* 20: audio present */ {Kind::kSpecial, {}},
}};

// The second blocks of parameter 19 (models 5 and 7 only).
constexpr int kParam19SecondBlockModel5 = 3731;
constexpr int kParam19SecondBlockModel7 = 1211;

constexpr int kCodeRecordSize = 14;

// The byte at `offset`; DISP_E_BADINDEX beyond the block.
// Left to the implementer: an offset past the block (a short block, a large sub-index) is
// DISP_E_BADINDEX, the array element read's own failure.
HRESULT ByteAt(const SetupBlockView& view, int64_t offset, int32_t* out) {
  if (offset < 0 || offset >= static_cast<int64_t>(view.block.size())) return DISP_E_BADINDEX;
  *out = view.block[static_cast<size_t>(offset)];
  return S_OK;
}

HRESULT ReadUserCode(const SetupBlockView& view, const Cell& cell, uint32_t sub, Variant* value) {
  int64_t base = cell.value + int64_t{sub} * kCodeRecordSize;
  int32_t high = 0;
  int32_t low = 0;
  ZEL_TRY(ByteAt(view, base, &high));
  ZEL_TRY(ByteAt(view, base + 1, &low));
  if (high == 0 && low == 0) return E_FAIL;  // the code is not set
  char text[16];
  std::snprintf(text, sizeof text, "%.4d", high << 8 | low);
  *value = Variant::Str(BStr(text));
  return S_OK;
}

// Today's local date and time with hour, minute, month and day replaced by the record's four
// bytes, seconds 0.
HRESULT ReadCodeDate(const SetupBlockView& view, const Cell& cell, uint32_t sub, Variant* value) {
  int64_t base = cell.value + int64_t{sub} * kCodeRecordSize;
  int32_t fields[4];
  for (int i = 0; i < 4; ++i) ZEL_TRY(ByteAt(view, base + i, &fields[i]));
  std::tm local{};
  std::time_t now = view.now;
  if (localtime_r(&now, &local) == nullptr) return E_FAIL;
  // Left to the implementer: bytes that make no calendar time (hour 24, month 0) are E_FAIL.
  if (fields[0] > 23 || fields[1] > 59 || fields[2] < 1 || fields[2] > 12 || fields[3] < 1 ||
      fields[3] > 31) {
    return E_FAIL;
  }
  local.tm_hour = fields[0];
  local.tm_min = fields[1];
  local.tm_mon = fields[2] - 1;
  local.tm_mday = fields[3];
  local.tm_sec = 0;
  Date date;
  ZEL_TRY(DateFromTm(local, &date));
  *value = Variant::FromDate(date);
  return S_OK;
}

HRESULT ReadParameter19(const SetupBlockView& view, int column, uint32_t sub, int32_t* out) {
  const Cell& cell = kParameters[18].cells[column];
  if (cell.constant) {
    *out = cell.value;
    return S_OK;
  }
  switch (view.model_index) {
    case 3:
    case 4:
      // These models have one entry only.
      if (sub != 0) return E_UNEXPECTED;
      return ByteAt(view, cell.value, out);
    case 5:
    case 7: {
      // The last byte-57 entries of the byte-56 entries lie in a second block of the setup.
      int first_block = 0;
      if (view.capabilities != nullptr) {
        first_block = view.capabilities->Byte(kCapParameter19Entries) -
                      view.capabilities->Byte(kCapParameter19Second);
      }
      if (static_cast<int64_t>(sub) < first_block)
        return ByteAt(view, cell.value + int64_t{sub}, out);
      int second = view.model_index == 5 ? kParam19SecondBlockModel5 : kParam19SecondBlockModel7;
      return ByteAt(view, second + (int64_t{sub} - first_block), out);
    }
    default:
      return ByteAt(view, cell.value + int64_t{sub}, out);
  }
}

bool IsAudioValue(int32_t v) {
  switch (v) {
    case 7:
    case 8:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 19:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT ReadSystemParameter(const SetupBlockView& view, uint32_t index, Variant* value) {
  if (value == nullptr) return E_POINTER;
  if (view.block.empty()) return E_FAIL;
  uint32_t parameter = index & 0xFFFF;
  uint32_t sub = index >> 16;
  if (parameter == 0 || parameter > kParamCount || parameter == 5) return E_INVALIDARG;

  if (parameter == kParamAudioPresent) {
    *value = Variant::Bool(ScanForAudioValue(view) != 0);
    return S_OK;
  }

  const Parameter& p = kParameters[parameter - 1];
  int column = ColumnOf(view.model_index);
  if (column == kNoColumn) {
    // Models without a layout: the code and date parameters fail, the others read -1.
    if (parameter == kParamUserCode || p.kind == Kind::kCodeDate) return E_FAIL;
    *value = Variant::I4(-1);
    return S_OK;
  }
  const Cell& cell = p.cells[column];

  if (parameter == kParamUserCode) return ReadUserCode(view, cell, sub, value);
  if (p.kind == Kind::kCodeDate) return ReadCodeDate(view, cell, sub, value);

  int32_t result = 0;
  if (parameter == 19) {
    ZEL_TRY(ReadParameter19(view, column, sub, &result));
  } else if (cell.constant) {
    result = cell.value;
  } else if (p.kind == Kind::kByte) {
    ZEL_TRY(ByteAt(view, cell.value, &result));
  } else if (p.kind == Kind::kCodeRecord) {
    ZEL_TRY(ByteAt(view, cell.value + int64_t{sub} * kCodeRecordSize, &result));
  } else {
    ZEL_TRY(ByteAt(view, cell.value + int64_t{sub}, &result));
  }
  *value = Variant::I4(result);
  return S_OK;
}

int32_t ScanForAudioValue(const SetupBlockView& view) {
  if (view.capabilities == nullptr) return 0;
  auto scan = [&](uint32_t parameter, uint32_t entries) -> int32_t {
    for (uint32_t sub = 0; sub < entries; ++sub) {
      Variant v;
      // An entry that cannot be read is passed over.
      if (Failed(ReadSystemParameter(view, ParameterIndex(parameter, sub), &v))) continue;
      if (v.vt() == VT_I4 && IsAudioValue(v.i4())) return v.i4();
    }
    return 0;
  };
  int32_t found = scan(kParamExpansionType, view.capabilities->Byte(kCapAudioScanEntries));
  if (found == 0 && view.capabilities->Dword(kCapHasParameter19) != 0) {
    found = scan(19, view.capabilities->Byte(kCapParameter19Entries));
  }
  return found;
}

AudioControlModel AudioControlModelOf(const SetupBlockView& view) {
  if (view.capabilities == nullptr) return acmUnknown;
  switch (ScanForAudioValue(view)) {
    case 7:
      return acmNuVo;
    case 8:
      return acmRussound;
    case 11:
      return acmZelHiFi;
    case 12:
      return acmNuVoGrandConcerto;
    case 13:
      return acmNuVoEssentiaSimplese;
    case 14:
      return acmXantech;
    case 15:
      return acmSpeakerCraft;
    case 16:
      return acmProficient;
    case 19:
      return acmRussoundESeries;
    default:
      return acmNone;
  }
}

}  // namespace zel
