// Audio zones: CZelAudioZones holds one CZelAudioZone per room of the attached audio system,
// numbered from 1 (the names download turns the audio-zone units of the unit type rule into
// audio zones: number = unit number + 1 - the first audio-zone unit of the capability record).
//
// Poll: the generic one-element poll with message type 0x31 and one-byte numbers. Reply data,
// one byte each: 0 power status, 1 source ID, 2 volume level, 3 mute status. Each field whose
// new value differs from the stored one is stored and announced, in that order, with its dispid
// (0x650 power, 0x651 source, 0x652 volume, 0x653 mute): OnAudioZoneChange(dispid, zone) on every
// sink of the server's AudioZones and its script handler, then the field's own event. A new zone
// starts with power and mute 255 and source and volume 0xFFFF, so its first poll announces
// source and volume always, power and mute unless they read 255. Events are raised on every poll,
// also by Init's.
//
// Commands (command, first parameter, second parameter = the zone's ID, or 0 for the
// collection's puts); after an acknowledged command the caller pauses 1000 ms, then refreshes
// this zone (collection puts: every zone) through the server's AudioZones:
//   PowerStatus put   0x70, the power value
//   MuteStatus put    0x70, the mute value + 2
//   VolumeLevel put   0x71, the level          above 100 (as unsigned): E_INVALIDARG
//   Source put        0x72, the source number  below 1, or above the number of audio-source
//                                              units of the capability record: E_INVALIDARG
//   SelectKey(key)    0x73, the key code
// Values go out as their low byte. A refused argument sends nothing; a refused command neither
// pauses nor refreshes.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// The status fields are guarded by fields_mu(), which is released before changes are announced.
// Commands and their pause run on the client's thread.
#pragma once

#include <cstdint>

#include "model/audio_events.h"
#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"
#include "platform/clock.h"

namespace zel {

inline constexpr DISPID kDispidAudioZonePowerStatus = 0x650;
inline constexpr DISPID kDispidAudioZoneSource = 0x651;
inline constexpr DISPID kDispidAudioZoneVolumeLevel = 0x652;
inline constexpr DISPID kDispidAudioZoneMuteStatus = 0x653;
inline constexpr DISPID kDispidAudioZoneSelectKey = 0x60030008;
inline constexpr DISPID kDispidAudioZonesPowerStatus = 0x660;
inline constexpr DISPID kDispidAudioZonesMuteStatus = 0x661;
inline constexpr DISPID kDispidAudioZonesOnAudioZoneChange = 0x662;

inline constexpr uint8_t MSG_AUDIO_ZONE_STATUS = 0x31;
inline constexpr uint8_t kCommandAudioPower = 0x70;
inline constexpr uint8_t kCommandAudioVolume = 0x71;
inline constexpr uint8_t kCommandAudioSource = 0x72;
inline constexpr uint8_t kCommandAudioKey = 0x73;
// Mute values travel on the power command, above the power values.
inline constexpr uint8_t kMuteCommandOffset = 2;
inline constexpr uint32_t kMaxVolumeLevel = 100;
// The pause between an audio command and the refresh that reads its effect.
inline constexpr Millis kAudioCommandSettle{1000};

// PowerStatus and MuteStatus values.
enum PowerStatus : int32_t { psAny = -1, psOff = 0, psOn = 1, psUnknown = 255 };
enum MuteStatus : int32_t { msAny = -1, msOff = 0, msOn = 1, msUnknown = 255 };

struct IZelAudioZone : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioZone);
  virtual HRESULT get_PowerStatus(int32_t* power) = 0;
  virtual HRESULT put_PowerStatus(int32_t power) = 0;
  // The IZelAudioSource element of the zone's source (the empty element, S_FALSE, for none).
  virtual HRESULT get_Source(Variant* source) = 0;
  virtual HRESULT put_Source(int32_t source) = 0;
  virtual HRESULT get_VolumeLevel(int32_t* level) = 0;
  virtual HRESULT put_VolumeLevel(int32_t level) = 0;
  virtual HRESULT get_MuteStatus(int32_t* mute) = 0;
  virtual HRESULT put_MuteStatus(int32_t mute) = 0;
  virtual HRESULT SelectKey(int32_t key) = 0;
};

struct IZelAudioZones : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAudioZones);
  virtual HRESULT put_PowerStatus(int32_t power) = 0;
  virtual HRESULT put_MuteStatus(int32_t mute) = 0;
  virtual HRESULT put_OnAudioZoneChange(Variant handler) = 0;
};

class CZelAudioZone final
    : public ZelCollectionElementImpl<CZelAudioZone, IZelAudioZone, /*name type*/ 0> {
 public:
  static constexpr CLSID kClsid = kClsidZelAudioZone;
  static constexpr std::string_view kTypeName = "CZelAudioZone";

  HRESULT get_PowerStatus(int32_t* power) override;
  HRESULT put_PowerStatus(int32_t power) override;
  HRESULT get_Source(Variant* source) override;
  HRESULT put_Source(int32_t source) override;
  HRESULT get_VolumeLevel(int32_t* level) override;
  HRESULT put_VolumeLevel(int32_t level) override;
  HRESULT get_MuteStatus(int32_t* mute) override;
  HRESULT put_MuteStatus(int32_t mute) override;
  HRESULT SelectKey(int32_t key) override;

  // Four data bytes (see the top of the file), each change announced; fewer: E_FAIL, unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  HRESULT Field(uint16_t CZelAudioZone::*field, int32_t* value);
  // Sends a command for this zone and, once acknowledged, pauses and refreshes it.
  HRESULT ZoneCommand(uint8_t command, uint8_t parameter1);

  uint16_t power_status_ = psUnknown;  // guarded by fields_mu()
  uint16_t source_id_ = 0xFFFF;        // guarded by fields_mu()
  uint16_t volume_level_ = 0xFFFF;     // guarded by fields_mu()
  uint16_t mute_status_ = msUnknown;   // guarded by fields_mu()
};

inline constexpr CollectionTraits kAudioZonesTraits{
    "CZelAudioZones",       255,           kClsidZelAudioZone, "AUDIOZONES", MSG_AUDIO_ZONE_STATUS,
    /*long_numbers=*/false, &AudioInterval};

class CZelAudioZones final
    : public ZelCollectionImpl<CZelAudioZones, IZelAudioZones, kAudioZonesTraits>,
      public IConnectionPointContainer,
      public IProvideOutgoingInterface,
      public IAudioEventSource {
 public:
  static constexpr CLSID kClsid = kClsidZelAudioZones;

  HRESULT QueryInterface(const IID& iid, void** ppv) override;
  uint32_t AddRef() override { return ZelCollectionImpl::AddRef(); }
  uint32_t Release() override { return ZelCollectionImpl::Release(); }

  HRESULT put_PowerStatus(int32_t power) override;
  HRESULT put_MuteStatus(int32_t mute) override;
  HRESULT put_OnAudioZoneChange(Variant handler) override;

  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override;
  HRESULT GetOutgoingInterface(IID* iid, const MemberTable** members) override;
  void RaiseChange(DISPID changed, IDispatch* element) override;

  static const MemberTable& Members();

 private:
  // A command for every zone; once acknowledged, pauses and polls every zone.
  HRESULT AllZonesCommand(uint8_t parameter1);

  AudioEvents events_{static_cast<IZelAudioZones*>(this), kIidDZelAudioZoneEvents};
};

}  // namespace zel
