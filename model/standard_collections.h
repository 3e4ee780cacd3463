// The collection classes whose elements are named objects without a poll of their own here:
// buttons, user codes, thermostats, temperature sensors, messages, expansions, audio sources and
// audio zones, each built from the collection template with its traits (object type code,
// element class, XML tag, status request, initial interval).
//
// Their element classes arrive with their own issues; until then the registration creates
// plain elements under those class ids (model_registration.cc), so names apply to them, Codes
// holds the built-in codes and security codes resolve by name.
//
// Thread contract: as CollectionCore (collection_core.h).
#pragma once

#include "model/collection.h"

namespace zel {

// Initial UpdateInterval values (milliseconds, unsigned 32-bit; empty: never polled).
Variant NoInterval();                  // empty variant
Variant NotPolledInterval();           // VT_UI4 0
Variant UnitsInterval();               // 1500
Variant ThermostatsInterval();         // 5000
Variant TemperatureSensorsInterval();  // 30000
Variant MessagesInterval();            // 5000, or 0 on controller model index 0
Variant AudioInterval();               // 1000 when system parameter 20 reads true, else 0

struct IZelButtons : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelButtons);
};
struct IZelCodes : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelCodes);
};
struct IZelThermostats : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelThermostats);
};
struct IZelTemperatureSensors : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelTemperatureSensors);
};
struct IZelMessages : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelMessages);
};
struct IZelExpansions : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelExpansions);
};
struct IZelAudioSources : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioSources);
};
struct IZelAudioZones : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioZones);
};

// Object type code, element class, tag, status request (message type, two-byte numbers from
// 256), initial interval.
inline constexpr CollectionTraits kButtonsTraits{
    "CZelButtons", 3, kClsidZelButton, "BUTTONS", 0, false, &NoInterval};
inline constexpr CollectionTraits kCodesTraits{"CZelCodes", 4,     kClsidZelCode, "CODES",
                                               0,           false, &NoInterval};
inline constexpr CollectionTraits kThermostatsTraits{
    "CZelThermostats", 6, kClsidZelThermostat, "THERMOSTATS", 0x1E, false, &ThermostatsInterval};
inline constexpr CollectionTraits kTemperatureSensorsTraits{
    "CZelTemperatureSensors",   1, kClsidZelTemperatureSensor, "TEMPERATURESENSORS", 0x19, false,
    &TemperatureSensorsInterval};
// Messages are polled all at once by their own update (arrives with the messages).
inline constexpr CollectionTraits kMessagesTraits{
    "CZelMessages", 7, kClsidZelMessage, "MESSAGES", 0, false, &MessagesInterval};
inline constexpr CollectionTraits kExpansionsTraits{
    "CZelExpansions", 0, kClsidZelExpansion, "EXPANSIONS", 0, false, &NoInterval};
// Audio sources read their metadata by an exchange of their own (arrives with the audio).
inline constexpr CollectionTraits kAudioSourcesTraits{
    "CZelAudioSources", 254, kClsidZelAudioSource, "AUDIOSOURCES", 0, false, &AudioInterval};
inline constexpr CollectionTraits kAudioZonesTraits{
    "CZelAudioZones", 255, kClsidZelAudioZone, "AUDIOZONES", 0x31, false, &AudioInterval};

class CZelButtons final : public ZelCollectionImpl<CZelButtons, IZelButtons, kButtonsTraits> {};
class CZelCodes final : public ZelCollectionImpl<CZelCodes, IZelCodes, kCodesTraits> {};
class CZelThermostats final
    : public ZelCollectionImpl<CZelThermostats, IZelThermostats, kThermostatsTraits> {};
class CZelTemperatureSensors final
    : public ZelCollectionImpl<CZelTemperatureSensors, IZelTemperatureSensors,
                               kTemperatureSensorsTraits> {};
class CZelMessages final : public ZelCollectionImpl<CZelMessages, IZelMessages, kMessagesTraits> {};
class CZelExpansions final
    : public ZelCollectionImpl<CZelExpansions, IZelExpansions, kExpansionsTraits> {};
class CZelAudioSources final
    : public ZelCollectionImpl<CZelAudioSources, IZelAudioSources, kAudioSourcesTraits> {};
class CZelAudioZones final
    : public ZelCollectionImpl<CZelAudioZones, IZelAudioZones, kAudioZonesTraits> {};

}  // namespace zel
