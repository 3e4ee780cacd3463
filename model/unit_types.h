// The unit type rule: which kind of output a unit number is, from the capability record of the
// connected controller model, and the element class that presents each kind. The names
// download, the element creation and the units themselves share it.
//
// The record holds inclusive ranges of unit numbers as pairs of 16-bit fields (first, last):
// type 0 at offsets 34/36, 1 at 38/40, 2 at 42/44, 3 at 46/48, 4 at 66/68, 5 at 70/72. A number's
// type is the first range that holds it, in the order 4, 5 (these two only when the controller
// drives an audio system), 0, 1, 2, 3.
//
// Thread contract: stateless (the connected-controller forms read the server's atomics).
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "server/system_info.h"

namespace zel {

enum UnitType : int {
  kUnitTypeX10 = 0,
  kUnitTypeVoltage = 1,
  kUnitTypeExpansion = 2,
  kUnitTypeCounter = 3,
  kUnitTypeAudioSource = 4,
  kUnitTypeAudioZone = 5,
};

// The type of unit `number`; E_FAIL when no range holds it or there is no record.
HRESULT UnitTypeOf(const CapabilityRecord* record, bool audio_present, uint16_t number, int* type);

// The element class of a unit type (CZelX10Unit ... CZelAudioZone); the plain unit class CZelUnit
// for a number without a type.
CLSID UnitClassOf(HRESULT type_result, int type);

// The same for the connected controller: its capability record and whether system parameter
// 20 (an audio system) reads true.
HRESULT ConnectedUnitType(uint16_t number, int* type);
CLSID ConnectedUnitClass(uint16_t number);

// The output unit paired with zone (or temperature sensor) `zone_id`: with z1 = byte 28 of the
// record, (word 40) - z1 + zone_id for zone_id up to z1, else (word 42) - (byte 31) + zone_id.
uint16_t PairedUnitNumber(const CapabilityRecord& record, uint16_t zone_id);

}  // namespace zel
