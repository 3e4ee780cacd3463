#include "model/x10_unit.h"

#include <algorithm>

#include "link/convert_argument.h"
#include "platform/text_encoding.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr uint8_t kMaxPercent = 100;
constexpr uint8_t kMaxSteps = 9;
constexpr uint8_t kMaxComposeState = 13;
// A ramp's second parameter carries the level above the unit number.
constexpr uint32_t kRampLevelFactor = 512;

// An argument as one byte; conversion failures are returned unchanged.
HRESULT ByteArgument(const Variant& argument, uint8_t* value) {
  Variant converted;
  ZEL_TRY(ConvertArgument(argument, VT_UI1, &converted));
  *value = converted.ui1();
  return S_OK;
}

// A setup parameter of the connected controller as a 32-bit integer.
HRESULT IntegerParameter(uint32_t index, int32_t* value) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  Variant raw;
  ZEL_TRY(server->SystemParameter(index, &raw));
  Variant converted;
  ZEL_TRY(ConvertArgument(raw, VT_I4, &converted));
  *value = converted.i4();
  return S_OK;
}

int32_t InRange(uint8_t status, int first, int last, int offset) {
  return status >= first && status <= last ? status - offset : 0;
}

}  // namespace

LightingStatus DecodeLightingStatus(uint8_t status) {
  LightingStatus s;
  s.scene = InRange(status, 2, 13, 2);
  s.dim_steps = InRange(status, 17, 25, 16);
  s.brighten_steps = InRange(status, 33, 41, 32);
  s.current_level = InRange(status, 100, 200, 100);
  return s;
}

uint32_t CZelX10Unit::group() const {
  uint16_t number = id();
  return number == 0 ? 0 : (number - 1u) / 16u;
}

// ---- Getters --------------------------------------------------------------------------------

HRESULT CZelX10Unit::get_Format(int32_t* format) {
  if (format == nullptr) return E_POINTER;
  return IntegerParameter(ParameterIndex(kParamLightingFormat, group()), format);
}

HRESULT CZelX10Unit::get_HouseCode(BStr* house_code) {
  if (house_code == nullptr) return E_POINTER;
  int32_t first = 0;
  ZEL_TRY(IntegerParameter(kParamFirstHouseCode, &first));
  // 'A' is 65: the first house code byte counts from 1.
  char letter = static_cast<char>(64 + group() + static_cast<uint32_t>(first));
  *house_code = BStr(Latin1ToUtf8(std::string_view(&letter, 1)));
  return S_OK;
}

HRESULT CZelX10Unit::get_UnitNumber(int32_t* number) {
  if (number == nullptr) return E_POINTER;
  int32_t low = id() & 15;
  *number = low == 0 ? 16 : low;
  return S_OK;
}

HRESULT CZelX10Unit::get_Scene(int32_t* scene) {
  if (scene == nullptr) return E_POINTER;
  *scene = DecodeLightingStatus(status_byte()).scene;
  return S_OK;
}

HRESULT CZelX10Unit::get_CurrentLevel(int32_t* level) {
  if (level == nullptr) return E_POINTER;
  *level = DecodeLightingStatus(status_byte()).current_level;
  return S_OK;
}

HRESULT CZelX10Unit::get_BrightenSteps(int32_t* steps) {
  if (steps == nullptr) return E_POINTER;
  *steps = DecodeLightingStatus(status_byte()).brighten_steps;
  return S_OK;
}

HRESULT CZelX10Unit::get_DimSteps(int32_t* steps) {
  if (steps == nullptr) return E_POINTER;
  *steps = DecodeLightingStatus(status_byte()).dim_steps;
  return S_OK;
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZelX10Unit::Level(Variant percent) {
  uint8_t value = 0;
  ZEL_TRY(ByteArgument(percent, &value));
  return UnitCommand(kCommandUnitLevel, std::min(value, kMaxPercent), id());
}

HRESULT CZelX10Unit::StepCommand(uint8_t base, const Variant& steps, const Variant& for_time) {
  uint8_t count = 0;
  ZEL_TRY(ByteArgument(steps, &count));
  count = std::clamp<uint8_t>(count, 1, kMaxSteps);
  uint8_t time_code = 0;
  ZEL_TRY(UnitTimeCode(for_time, &time_code));
  return UnitCommand(static_cast<uint8_t>(base + count), time_code, id());
}

HRESULT CZelX10Unit::Brighten(Variant steps, Variant for_time) {
  return StepCommand(kCommandUnitBrightenBase, steps, for_time);
}

HRESULT CZelX10Unit::Dim(Variant steps, Variant for_time) {
  return StepCommand(kCommandUnitDimBase, steps, for_time);
}

HRESULT CZelX10Unit::Ramp(Variant level, Variant time) {
  uint8_t value = 0;
  ZEL_TRY(ByteArgument(level, &value));
  value = std::min(value, kMaxPercent);
  uint8_t time_code = 0;
  ZEL_TRY(UnitTimeCode(time, &time_code));
  uint16_t target = static_cast<uint16_t>(value * kRampLevelFactor + id());
  return UnitCommand(kCommandUnitRamp, time_code, target);
}

HRESULT CZelX10Unit::Compose(Variant state) {
  int32_t format = 0;
  if (Failed(get_Format(&format)) || (format != 2 && format != 5 && format != 7)) {
    return CO_E_NOT_SUPPORTED;
  }
  uint8_t value = 0;
  ZEL_TRY(ByteArgument(state, &value));
  return UnitCommand(kCommandUnitCompose, std::min(value, kMaxComposeState), id());
}

// ---- Tables ---------------------------------------------------------------------------------

const MemberTable& CZelX10Unit::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelX10Unit>("CZelX10Unit")
          .Inherit(UnitMembers())
          .Get(Role::kRead, "Format", kDispidX10Format, &CZelX10Unit::get_Format)
          .Get(Role::kRead, "HouseCode", kDispidX10HouseCode, &CZelX10Unit::get_HouseCode)
          .Get(Role::kRead, "UnitNumber", kDispidX10UnitNumber, &CZelX10Unit::get_UnitNumber)
          .Get(Role::kRead, "Scene", kDispidX10Scene, &CZelX10Unit::get_Scene)
          .Get(Role::kRead, "CurrentLevel", kDispidX10CurrentLevel, &CZelX10Unit::get_CurrentLevel)
          .Get(Role::kRead, "BrightenSteps", kDispidX10BrightenSteps,
               &CZelX10Unit::get_BrightenSteps)
          .Get(Role::kRead, "DimSteps", kDispidX10DimSteps, &CZelX10Unit::get_DimSteps)
          .Method(Role::kControl, "Level", kDispidX10Level, &CZelX10Unit::Level, {"vtPercent"})
          .Method(Role::kControl, "Brighten", kDispidX10Brighten, &CZelX10Unit::Brighten,
                  {"vtSteps", "vtForTime?"})
          .Method(Role::kControl, "Dim", kDispidX10Dim, &CZelX10Unit::Dim,
                  {"vtSteps", "vtForTime?"})
          .Method(Role::kControl, "Ramp", kDispidX10Ramp, &CZelX10Unit::Ramp, {"vtLevel", "vtTime"})
          .Method(Role::kControl, "Compose", kDispidX10Compose, &CZelX10Unit::Compose, {"vtState"})
          .Build();
  return table;
}

const PropertyMap& CZelX10Unit::Properties() {
  static const PropertyMap map = [] {
    PropertyMapBuilder<CZelX10Unit> b;
    AddUnitProperties(b);
    b.Property("FORMAT", kDispidX10Format)
        .Property("HOUSECODE", kDispidX10HouseCode)
        .Property("UNITNUMBER", kDispidX10UnitNumber)
        .Property("SCENE", kDispidX10Scene)
        .Property("CURRENTLEVEL", kDispidX10CurrentLevel)
        .Property("BRIGHTENSTEPS", kDispidX10BrightenSteps)
        .Property("DIMSTEPS", kDispidX10DimSteps);
    return b.Build();
  }();
  return map;
}

}  // namespace zel
