#include "model/model_registration.h"

#include <string>

#include "model/areas.h"
#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/built_in_objects.h"
#include "model/buttons.h"
#include "model/codes.h"
#include "model/counter_unit.h"
#include "model/expansions.h"
#include "model/messages.h"
#include "model/name_records.h"
#include "model/plain_element.h"
#include "model/standard_collections.h"
#include "model/temperature_sensors.h"
#include "model/thermostats.h"
#include "model/units.h"
#include "model/x10_unit.h"
#include "model/zones.h"
#include "platform/class_registry.h"
#include "server/collection_slots.h"
#include "server/empty_element.h"
#include "server/name_hooks.h"

namespace zel {
namespace {

std::string ProgIdOf(std::string_view class_name) {
  // "CZelZone" -> "Corvane.ZelZone"
  return std::string(kModelProgIdPrefix) + std::string(class_name.substr(1));
}

template <class T>
void RegisterClass(const CLSID& clsid, std::string_view class_name) {
  ClassRegistry::Instance().Register(clsid, ProgIdOf(class_name), FactoryOf<T>());
}

template <class T>
void RegisterSlot(int slot, const CLSID& clsid, std::string_view class_name) {
  RegisterClass<T>(clsid, class_name);
  RegisterCollectionSlot(slot, PolledCollectionHooks([](IDispatch** collection) -> HRESULT {
                           if (collection == nullptr) return E_POINTER;
                           *collection = static_cast<IDispatch*>(MakeObject<T>().Detach());
                           return S_OK;
                         }));
}

}  // namespace

CollectionSlotHooks PolledCollectionHooks(std::function<HRESULT(IDispatch**)> create) {
  CollectionSlotHooks hooks;
  hooks.create = std::move(create);
  hooks.init = [](IDispatch* collection) -> HRESULT {
    ComPtr<IZelCollection> c;
    ZEL_TRY(QueryAs<IZelCollection>(collection, &c));
    return c->Init();
  };
  hooks.stop_update = [](IDispatch* collection) -> HRESULT {
    ComPtr<IZelCollection> c;
    ZEL_TRY(QueryAs<IZelCollection>(collection, &c));
    return c->StopUpdate();
  };
  return hooks;
}

void RegisterModelClasses() {
  // Element classes.
  RegisterClass<CZelCollectionElement>(kClsidZelCollectionElement, "CZelCollectionElement");
  RegisterClass<CZelZone>(kClsidZelZone, "CZelZone");
  RegisterClass<CZelUnit>(kClsidZelUnit, "CZelUnit");
  RegisterClass<CZelX10Unit>(kClsidZelX10Unit, "CZelX10Unit");
  RegisterClass<CZelVoltageUnit>(kClsidZelVoltageUnit, "CZelVoltageUnit");
  RegisterClass<CZelExpansionUnit>(kClsidZelExpansionUnit, "CZelExpansionUnit");
  RegisterClass<CZelCounterUnit>(kClsidZelCounterUnit, "CZelCounterUnit");
  RegisterClass<CZelArea>(kClsidZelArea, "CZelArea");
  RegisterClass<CZelThermostat>(kClsidZelThermostat, "CZelThermostat");
  RegisterClass<CZelTemperatureSensor>(kClsidZelTemperatureSensor, "CZelTemperatureSensor");
  RegisterClass<CZelButton>(kClsidZelButton, "CZelButton");
  RegisterClass<CZelCode>(kClsidZelCode, "CZelCode");
  RegisterClass<CZelMessage>(kClsidZelMessage, "CZelMessage");
  RegisterClass<CZelExpansion>(kClsidZelExpansion, "CZelExpansion");
  RegisterClass<CZelAudioSource>(kClsidZelAudioSource, "CZelAudioSource");
  RegisterClass<CZelAudioZone>(kClsidZelAudioZone, "CZelAudioZone");

  // Collections in their server slots (Events and SystemEvents belong to the event library).
  RegisterSlot<CZelUnits>(kSlotUnits, kClsidZelUnits, "CZelUnits");
  RegisterSlot<CZelThermostats>(kSlotThermostats, kClsidZelThermostats, "CZelThermostats");
  RegisterSlot<CZelTemperatureSensors>(kSlotTemperatureSensors, kClsidZelTemperatureSensors,
                                       "CZelTemperatureSensors");
  RegisterSlot<CZelZones>(kSlotZones, kClsidZelZones, "CZelZones");
  RegisterSlot<CZelButtons>(kSlotButtons, kClsidZelButtons, "CZelButtons");
  RegisterSlot<CZelCodes>(kSlotCodes, kClsidZelCodes, "CZelCodes");
  RegisterSlot<CZelExpansions>(kSlotExpansions, kClsidZelExpansions, "CZelExpansions");
  RegisterSlot<CZelMessages>(kSlotMessages, kClsidZelMessages, "CZelMessages");
  RegisterSlot<CZelAreas>(kSlotAreas, kClsidZelAreas, "CZelAreas");
  RegisterSlot<CZelAudioSources>(kSlotAudioSources, kClsidZelAudioSources, "CZelAudioSources");
  RegisterSlot<CZelAudioZones>(kSlotAudioZones, kClsidZelAudioZones, "CZelAudioZones");

  RegisterEmptyElementFactory(&CreateEmptyElement);

  NameHooks hooks;
  hooks.apply_name = [](NameRecord* record, int version) {
    return ApplyNameRecord(record, version);
  };
  hooks.apply_friendly_name = &ApplyFriendlyNameRecord;
  hooks.add_built_in_objects = &AddBuiltInObjects;
  hooks.collect_friendly_names = &CollectFriendlyNames;
  RegisterNameHooks(std::move(hooks));
}

}  // namespace zel
