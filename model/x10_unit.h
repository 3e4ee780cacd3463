// CZelX10Unit: a lighting unit (unit type 0). Besides the unit members it reads its lighting
// format and house code from the setup block and decodes its status byte:
//   2 to 13    scene (status - 2)             Scene 0 to 11
//   17 to 25   dimmed by (status - 16) steps  DimSteps 1 to 9
//   33 to 41   brightened by (status - 32)    BrightenSteps 1 to 9
//   100 to 200 level (status - 100) percent   CurrentLevel 0 to 100
// each property 0 outside its range; 0 and 1 (off and on) are the controller's.
//
// Units come in groups of 16 per house code: group = (ID - 1) / 16, UnitNumber = ID AND 15 with
// 0 reported as 16, HouseCode = the character 64 + group + parameter 17 (the first house code),
// Format = parameter 18 for the group.
//
// Commands (command, first parameter, second parameter), each followed by the unit's refresh:
//   Level(percent)              9,          percent (above 100: 100), ID
//   Brighten(steps, for_time)   0x20+steps, time code, ID     steps 0 -> 1, above 9 -> 9
//   Dim(steps, for_time)        0x10+steps, time code, ID     steps as Brighten
//   Ramp(level, time)           13,         time code, level * 512 + ID (low 16 bits)
//   Compose(state)              14,         state (above 13: 13), ID
//                               only for formats 2, 5 and 7, else CO_E_NOT_SUPPORTED unsent
//
// Thread contract: as every unit (units.h).
#pragma once

#include "model/units.h"

namespace zel {

inline constexpr DISPID kDispidX10Format = 0x5A3;
inline constexpr DISPID kDispidX10HouseCode = 0x5A4;
inline constexpr DISPID kDispidX10UnitNumber = 0x5A5;
inline constexpr DISPID kDispidX10Scene = 0x5A6;
inline constexpr DISPID kDispidX10CurrentLevel = 0x5A7;
inline constexpr DISPID kDispidX10BrightenSteps = 0x5A8;
inline constexpr DISPID kDispidX10DimSteps = 0x5A9;
inline constexpr DISPID kDispidX10Level = 0x60040007;
inline constexpr DISPID kDispidX10Brighten = 0x60040008;
inline constexpr DISPID kDispidX10Dim = 0x60040009;
inline constexpr DISPID kDispidX10Ramp = 0x6004000A;
inline constexpr DISPID kDispidX10Compose = 0x6004000B;

inline constexpr uint8_t kCommandUnitLevel = 9;
inline constexpr uint8_t kCommandUnitDimBase = 0x10;
inline constexpr uint8_t kCommandUnitBrightenBase = 0x20;
inline constexpr uint8_t kCommandUnitRamp = 13;
inline constexpr uint8_t kCommandUnitCompose = 14;

// SystemParametersInfo parameters of lighting units.
inline constexpr uint32_t kParamFirstHouseCode = 17;
inline constexpr uint32_t kParamLightingFormat = 18;

struct IZelX10Unit : IZelUnit {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelX10Unit);
  virtual HRESULT get_Format(int32_t* format) = 0;
  virtual HRESULT get_HouseCode(BStr* house_code) = 0;
  virtual HRESULT get_UnitNumber(int32_t* number) = 0;
  virtual HRESULT get_Scene(int32_t* scene) = 0;
  virtual HRESULT get_CurrentLevel(int32_t* level) = 0;
  virtual HRESULT get_BrightenSteps(int32_t* steps) = 0;
  virtual HRESULT get_DimSteps(int32_t* steps) = 0;
  virtual HRESULT Level(Variant percent) = 0;
  virtual HRESULT Brighten(Variant steps, Variant for_time) = 0;
  virtual HRESULT Dim(Variant steps, Variant for_time) = 0;
  virtual HRESULT Ramp(Variant level, Variant time) = 0;
  virtual HRESULT Compose(Variant state) = 0;
};

// The decoded lighting status byte.
struct LightingStatus {
  int32_t scene = 0;
  int32_t current_level = 0;
  int32_t brighten_steps = 0;
  int32_t dim_steps = 0;
};
LightingStatus DecodeLightingStatus(uint8_t status);

class CZelX10Unit final : public ZelUnitImpl<CZelX10Unit, IZelX10Unit> {
 public:
  static constexpr CLSID kClsid = kClsidZelX10Unit;
  static constexpr std::string_view kTypeName = "CZelX10Unit";

  HRESULT get_Format(int32_t* format) override;
  HRESULT get_HouseCode(BStr* house_code) override;
  HRESULT get_UnitNumber(int32_t* number) override;
  HRESULT get_Scene(int32_t* scene) override;
  HRESULT get_CurrentLevel(int32_t* level) override;
  HRESULT get_BrightenSteps(int32_t* steps) override;
  HRESULT get_DimSteps(int32_t* steps) override;
  HRESULT Level(Variant percent) override;
  HRESULT Brighten(Variant steps, Variant for_time) override;
  HRESULT Dim(Variant steps, Variant for_time) override;
  HRESULT Ramp(Variant level, Variant time) override;
  HRESULT Compose(Variant state) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  // The house-code group of this unit: (ID - 1) / 16.
  uint32_t group() const;
  // Brighten and Dim: steps clamped to 1..9 added to the base command.
  HRESULT StepCommand(uint8_t base, const Variant& steps, const Variant& for_time);
};

}  // namespace zel
