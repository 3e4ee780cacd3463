#include "model/audio_zones.h"

#include <array>

#include "model/object_commands.h"
#include "server/system_info.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The specific event of a zone field's dispid: its position in the outgoing interface.
DISPID SpecificZoneEvent(DISPID changed) {
  return kDispidOnAudioZoneChange + 1 + (changed - kDispidAudioZonePowerStatus);
}

// How many audio sources the connected model has: the size of its audio-source unit range;
// 0 without a capability record.
uint32_t AudioSourceCount() {
  ComPtr<CZelServer> server = ServerInstance();
  const CapabilityRecord* record = server != nullptr ? server->capabilities() : nullptr;
  if (record == nullptr) return 0;
  uint16_t first = record->Word(kCapFirstAudioSourceUnit);
  uint16_t last = record->Word(kCapLastAudioSourceUnit);
  return last < first ? 0 : last - first + 1u;
}

}  // namespace

// ---- Status ---------------------------------------------------------------------------------

HRESULT CZelAudioZone::LoadStatus(const uint8_t* data, uint32_t size) {
  if (size < 5) return E_FAIL;
  std::array<DISPID, 4> changed{};
  size_t count = 0;
  {
    MutexLock g(&fields_mu());
    uint16_t* fields[4] = {&power_status_, &source_id_, &volume_level_, &mute_status_};
    for (size_t i = 0; i < 4; ++i) {
      if (*fields[i] == data[i]) continue;
      *fields[i] = data[i];
      changed[count++] = kDispidAudioZonePowerStatus + static_cast<DISPID>(i);
    }
  }
  // Announced outside the fields lock: sinks read the zone.
  auto* self = static_cast<IDispatch*>(static_cast<IZelAudioZone*>(this));
  for (size_t i = 0; i < count; ++i) RaiseAudioChange(kSlotAudioZones, changed[i], self);
  return S_OK;
}

HRESULT CZelAudioZone::Field(uint16_t CZelAudioZone::*field, int32_t* value) {
  if (value == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  *value = this->*field;
  return S_OK;
}

HRESULT CZelAudioZone::get_PowerStatus(int32_t* power) {
  return Field(&CZelAudioZone::power_status_, power);
}
HRESULT CZelAudioZone::get_VolumeLevel(int32_t* level) {
  return Field(&CZelAudioZone::volume_level_, level);
}
HRESULT CZelAudioZone::get_MuteStatus(int32_t* mute) {
  return Field(&CZelAudioZone::mute_status_, mute);
}

HRESULT CZelAudioZone::get_Source(Variant* source) {
  if (source == nullptr) return E_POINTER;
  source->Clear();
  ComPtr<IZelCollection> sources;
  ZEL_TRY(GetServerCollection(kSlotAudioSources, &sources));
  uint16_t id = 0;
  {
    MutexLock g(&fields_mu());
    id = source_id_;
  }
  // By ID; a source that does not exist is the empty element with S_FALSE.
  return sources->Item(Variant::Missing(), Variant::I4(id), source);
}

// ---- Commands -------------------------------------------------------------------------------

HRESULT CZelAudioZone::ZoneCommand(uint8_t command, uint8_t parameter1) {
  ZEL_TRY(SendObjectCommand(command, parameter1, id()));
  Clock::Get()->SleepFor(kAudioCommandSettle);
  return RefreshElement(kSlotAudioZones, static_cast<IZelAudioZone*>(this), index());
}

HRESULT CZelAudioZone::put_PowerStatus(int32_t power) {
  return ZoneCommand(kCommandAudioPower, static_cast<uint8_t>(power));
}

HRESULT CZelAudioZone::put_MuteStatus(int32_t mute) {
  return ZoneCommand(kCommandAudioPower, static_cast<uint8_t>(mute + kMuteCommandOffset));
}

HRESULT CZelAudioZone::put_VolumeLevel(int32_t level) {
  if (static_cast<uint32_t>(level) > kMaxVolumeLevel) return E_INVALIDARG;
  return ZoneCommand(kCommandAudioVolume, static_cast<uint8_t>(level));
}

HRESULT CZelAudioZone::put_Source(int32_t source) {
  if (source < 1 || static_cast<uint32_t>(source) > AudioSourceCount()) return E_INVALIDARG;
  return ZoneCommand(kCommandAudioSource, static_cast<uint8_t>(source));
}

HRESULT CZelAudioZone::SelectKey(int32_t key) {
  return ZoneCommand(kCommandAudioKey, static_cast<uint8_t>(key));
}

const MemberTable& CZelAudioZone::Members() {
  using T = CZelAudioZone;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelAudioZone")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "PowerStatus", kDispidAudioZonePowerStatus, &T::get_PowerStatus)
          .Put(Role::kControl, "PowerStatus", kDispidAudioZonePowerStatus, &T::put_PowerStatus,
               {"psPower"})
          .Get(Role::kRead, "Source", kDispidAudioZoneSource, &T::get_Source)
          .Put(Role::kControl, "Source", kDispidAudioZoneSource, &T::put_Source, {"lSource"})
          .Get(Role::kRead, "VolumeLevel", kDispidAudioZoneVolumeLevel, &T::get_VolumeLevel)
          .Put(Role::kControl, "VolumeLevel", kDispidAudioZoneVolumeLevel, &T::put_VolumeLevel,
               {"lLevel"})
          .Get(Role::kRead, "MuteStatus", kDispidAudioZoneMuteStatus, &T::get_MuteStatus)
          .Put(Role::kControl, "MuteStatus", kDispidAudioZoneMuteStatus, &T::put_MuteStatus,
               {"msMute"})
          .Method(Role::kControl, "SelectKey", kDispidAudioZoneSelectKey, &T::SelectKey,
                  {"azkAudioZoneKey"})
          .Build();
  return table;
}

const PropertyMap& CZelAudioZone::Properties() {
  static const PropertyMap map = [] {
    using T = CZelAudioZone;
    PropertyMapBuilder<T> b;
    AddCommonProperties(b);
    b.Member<&T::power_status_>("POWERSTATUS", VT_UI2)
        .Member<&T::source_id_>("SOURCEID", VT_UI2)
        .Member<&T::volume_level_>("VOLUMELEVEL", VT_UI2)
        .Member<&T::mute_status_>("MUTESTATUS", VT_UI2);
    return b.Build();
  }();
  return map;
}

// ---- CZelAudioZones -------------------------------------------------------------------------

HRESULT CZelAudioZones::QueryInterface(const IID& iid, void** ppv) {
  if (ppv != nullptr &&
      (iid == IConnectionPointContainer::kIid || iid == IProvideOutgoingInterface::kIid ||
       iid == IAudioEventSource::kIid)) {
    return QueryInterfaceFor<IZelAudioZones, IConnectionPointContainer, IProvideOutgoingInterface,
                             IAudioEventSource>(this, iid, ppv);
  }
  return ZelCollectionImpl::QueryInterface(iid, ppv);
}

HRESULT CZelAudioZones::FindConnectionPoint(const IID& iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kIidDZelAudioZoneEvents) return CONNECT_E_NOCONNECTION;
  events_.point().AddRef();
  *point = &events_.point();
  return S_OK;
}

HRESULT CZelAudioZones::GetOutgoingInterface(IID* iid, const MemberTable** members) {
  if (iid == nullptr || members == nullptr) return E_POINTER;
  *iid = kIidDZelAudioZoneEvents;
  *members = &AudioZoneEventsMembers();
  return S_OK;
}

void CZelAudioZones::RaiseChange(DISPID changed, IDispatch* element) {
  events_.Raise(changed, element, SpecificZoneEvent(changed));
}

HRESULT CZelAudioZones::put_OnAudioZoneChange(Variant handler) {
  return events_.PutHandler(handler);
}

HRESULT CZelAudioZones::AllZonesCommand(uint8_t parameter1) {
  ZEL_TRY(SendObjectCommand(kCommandAudioPower, parameter1, 0));
  Clock::Get()->SleepFor(kAudioCommandSettle);
  return RefreshCollection(kSlotAudioZones);
}

HRESULT CZelAudioZones::put_PowerStatus(int32_t power) {
  return AllZonesCommand(static_cast<uint8_t>(power));
}

HRESULT CZelAudioZones::put_MuteStatus(int32_t mute) {
  return AllZonesCommand(static_cast<uint8_t>(mute + kMuteCommandOffset));
}

const MemberTable& CZelAudioZones::Members() {
  using T = CZelAudioZones;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelAudioZones")
          .Inherit(CollectionMembers())
          .Put(Role::kControl, "PowerStatus", kDispidAudioZonesPowerStatus, &T::put_PowerStatus,
               {"psPower"})
          .Put(Role::kControl, "MuteStatus", kDispidAudioZonesMuteStatus, &T::put_MuteStatus,
               {"msMute"})
          .Put(Role::kControl, "OnAudioZoneChange", kDispidAudioZonesOnAudioZoneChange,
               &T::put_OnAudioZoneChange, {"vtHandler"})
          .Build();
  return table;
}

}  // namespace zel
