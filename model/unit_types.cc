#include "model/unit_types.h"

#include <array>

#include "model/model_classes.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {
namespace {

struct UnitRange {
  int type;
  size_t first_offset;  // the last number's field follows two bytes on
  bool audio_only;
};

// The order in which the ranges are tried.
constexpr std::array<UnitRange, 6> kUnitRanges = {{
    {kUnitTypeAudioSource, 66, true},
    {kUnitTypeAudioZone, 70, true},
    {kUnitTypeX10, 34, false},
    {kUnitTypeVoltage, 38, false},
    {kUnitTypeExpansion, 42, false},
    {kUnitTypeCounter, 46, false},
}};

// Offsets of the paired-output fields.
constexpr size_t kFirstZoneGroupEnd = 28;    // byte: the last zone of the first group
constexpr size_t kFirstGroupOutputs = 40;    // word
constexpr size_t kSecondGroupZoneBase = 31;  // byte
constexpr size_t kSecondGroupOutputs = 42;   // word

}  // namespace

HRESULT UnitTypeOf(const CapabilityRecord* record, bool audio_present, uint16_t number, int* type) {
  if (type == nullptr) return E_POINTER;
  if (record == nullptr) return E_FAIL;
  for (const UnitRange& range : kUnitRanges) {
    if (range.audio_only && !audio_present) continue;
    uint16_t first = record->Word(range.first_offset);
    uint16_t last = record->Word(range.first_offset + 2);
    if (number >= first && number <= last) {
      *type = range.type;
      return S_OK;
    }
  }
  return E_FAIL;
}

CLSID UnitClassOf(HRESULT type_result, int type) {
  if (Failed(type_result)) return kClsidZelUnit;
  switch (type) {
    case kUnitTypeX10:
      return kClsidZelX10Unit;
    case kUnitTypeVoltage:
      return kClsidZelVoltageUnit;
    case kUnitTypeExpansion:
      return kClsidZelExpansionUnit;
    case kUnitTypeCounter:
      return kClsidZelCounterUnit;
    case kUnitTypeAudioSource:
      return kClsidZelAudioSource;
    case kUnitTypeAudioZone:
      return kClsidZelAudioZone;
    default:
      return kClsidZelUnit;
  }
}

HRESULT ConnectedUnitType(uint16_t number, int* type) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  Variant audio;
  bool audio_present = Succeeded(server->SystemParameter(kParamAudioPresent, &audio)) &&
                       audio.vt() == VT_BOOL && audio.boolean();
  return UnitTypeOf(server->capabilities(), audio_present, number, type);
}

CLSID ConnectedUnitClass(uint16_t number) {
  int type = 0;
  HRESULT hr = ConnectedUnitType(number, &type);
  return UnitClassOf(hr, type);
}

uint16_t PairedUnitNumber(const CapabilityRecord& record, uint16_t zone_id) {
  uint8_t first_group_end = record.Byte(kFirstZoneGroupEnd);
  if (zone_id <= first_group_end) {
    return static_cast<uint16_t>(record.Word(kFirstGroupOutputs) - first_group_end + zone_id);
  }
  return static_cast<uint16_t>(record.Word(kSecondGroupOutputs) -
                               record.Byte(kSecondGroupZoneBase) + zone_id);
}

}  // namespace zel
