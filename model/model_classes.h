// Class ids and interface ids of every object-model class, in one place.
//
// Class numbers 0x30 to 0x3F are the element classes, 0x40 to 0x4F the collection classes; an
// element or collection interface has the number of its class. 0x50 to 0x52 are the interfaces
// every collection and element shares. Elements are created by class id through the
// ClassRegistry (RegisterModelClasses registers them), so the names of the server and the unit
// type rule pick a class by its id.
//
// Thread contract: constants only.
#pragma once

#include <string_view>

#include "link/comm_handler.h"

namespace zel {

// ---- Element classes ----------------------------------------------------------------------
inline constexpr CLSID kClsidZelCollectionElement = ZelClassId(kIdCoclass, 0x30);
inline constexpr CLSID kClsidZelZone = ZelClassId(kIdCoclass, 0x31);
inline constexpr CLSID kClsidZelUnit = ZelClassId(kIdCoclass, 0x32);
inline constexpr CLSID kClsidZelX10Unit = ZelClassId(kIdCoclass, 0x33);
inline constexpr CLSID kClsidZelVoltageUnit = ZelClassId(kIdCoclass, 0x34);
inline constexpr CLSID kClsidZelExpansionUnit = ZelClassId(kIdCoclass, 0x35);
inline constexpr CLSID kClsidZelCounterUnit = ZelClassId(kIdCoclass, 0x36);
inline constexpr CLSID kClsidZelArea = ZelClassId(kIdCoclass, 0x37);
inline constexpr CLSID kClsidZelThermostat = ZelClassId(kIdCoclass, 0x38);
inline constexpr CLSID kClsidZelTemperatureSensor = ZelClassId(kIdCoclass, 0x39);
inline constexpr CLSID kClsidZelButton = ZelClassId(kIdCoclass, 0x3A);
inline constexpr CLSID kClsidZelCode = ZelClassId(kIdCoclass, 0x3B);
inline constexpr CLSID kClsidZelMessage = ZelClassId(kIdCoclass, 0x3C);
inline constexpr CLSID kClsidZelExpansion = ZelClassId(kIdCoclass, 0x3D);
inline constexpr CLSID kClsidZelAudioSource = ZelClassId(kIdCoclass, 0x3E);
inline constexpr CLSID kClsidZelAudioZone = ZelClassId(kIdCoclass, 0x3F);

// ---- Collection classes -------------------------------------------------------------------
inline constexpr CLSID kClsidZelZones = ZelClassId(kIdCoclass, 0x40);
inline constexpr CLSID kClsidZelUnits = ZelClassId(kIdCoclass, 0x41);
inline constexpr CLSID kClsidZelButtons = ZelClassId(kIdCoclass, 0x42);
inline constexpr CLSID kClsidZelCodes = ZelClassId(kIdCoclass, 0x43);
inline constexpr CLSID kClsidZelAreas = ZelClassId(kIdCoclass, 0x44);
inline constexpr CLSID kClsidZelThermostats = ZelClassId(kIdCoclass, 0x45);
inline constexpr CLSID kClsidZelMessages = ZelClassId(kIdCoclass, 0x46);
inline constexpr CLSID kClsidZelTemperatureSensors = ZelClassId(kIdCoclass, 0x47);
inline constexpr CLSID kClsidZelExpansions = ZelClassId(kIdCoclass, 0x48);
inline constexpr CLSID kClsidZelAudioSources = ZelClassId(kIdCoclass, 0x49);
inline constexpr CLSID kClsidZelAudioZones = ZelClassId(kIdCoclass, 0x4A);

// The interface id of a model class: the class's number with the interface kind.
constexpr IID ModelInterfaceId(const CLSID& clsid) {
  return ZelClassId(kIdInterface, static_cast<uint16_t>(clsid.data4[6] << 8 | clsid.data4[7]));
}

// ---- Shared interfaces --------------------------------------------------------------------
inline constexpr IID kIidICollection = ZelClassId(kIdInterface, 0x50);
inline constexpr IID kIidIZelCollection = ZelClassId(kIdInterface, 0x51);
inline constexpr IID kIidIZelCollectionElement = ZelClassId(kIdInterface, 0x52);

// The programmatic identifier of a model class: "Corvane." and the class name without its "C".
inline constexpr std::string_view kModelProgIdPrefix = "Corvane.";

}  // namespace zel
