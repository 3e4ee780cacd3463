#include "model/name_records.h"

#include <array>

#include "model/collection_interfaces.h"
#include "model/unit_types.h"
#include "platform/class_registry.h"
#include "platform/property_bag.h"
#include "platform/text_encoding.h"
#include "server/collection_slots.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr uint32_t kTypeUnit = 2;
constexpr uint32_t kTypeArea = 5;
constexpr uint32_t kTypeAudioSourceV1 = 8;
constexpr uint32_t kTypeAudioZoneV1 = 9;
constexpr uint32_t kTypeAudioSource = 254;
constexpr uint32_t kTypeAudioZone = 255;
// Parameter 1 of the setup: the number of areas in use.
constexpr uint32_t kParamAreasInUse = 1;

// Where a record goes: its collection slot and the class of a new element. Slot -1: the record
// is ignored (success without effect).
struct Destination {
  int slot = -1;
  CLSID element_class;
};

HRESULT DestinationOf(uint32_t type, uint16_t number, int version, Destination* out) {
  switch (type) {
    case 1:
      *out = {kSlotZones, kClsidZelZone};
      return S_OK;
    case kTypeUnit:
      *out = {kSlotUnits, ConnectedUnitClass(number)};
      return S_OK;
    case 3:
      *out = {kSlotButtons, kClsidZelButton};
      return S_OK;
    case 4:
      *out = {kSlotCodes, kClsidZelCode};
      return S_OK;
    case kTypeArea:
      *out = {kSlotAreas, kClsidZelArea};
      return S_OK;
    case 6:
      *out = {kSlotThermostats, kClsidZelThermostat};
      return S_OK;
    case 7:
      *out = {kSlotMessages, kClsidZelMessage};
      return S_OK;
    case kTypeAudioSourceV1:
      *out = version == kNamesVersion1 ? Destination{kSlotAudioSources, kClsidZelAudioSource}
                                       : Destination{};
      return S_OK;
    case kTypeAudioZoneV1:
      *out = version == kNamesVersion1 ? Destination{kSlotAudioZones, kClsidZelAudioZone}
                                       : Destination{};
      return S_OK;
    case kTypeAudioSource:
      *out = {kSlotAudioSources, kClsidZelAudioSource};
      return S_OK;
    case kTypeAudioZone:
      *out = {kSlotAudioZones, kClsidZelAudioZone};
      return S_OK;
    default:
      return E_FAIL;
  }
}

// A version-2 unit record of an audio unit becomes an audio source or zone record, numbered
// from 1 within its kind.
void RenumberAudioUnit(NameRecord* record) {
  int type = 0;
  if (Failed(ConnectedUnitType(record->number, &type))) return;
  ComPtr<CZelServer> server = ServerInstance();
  const CapabilityRecord* caps = server != nullptr ? server->capabilities() : nullptr;
  if (caps == nullptr) return;
  if (type == kUnitTypeAudioSource) {
    record->type = kTypeAudioSource;
    record->number =
        static_cast<uint16_t>(record->number + 1 - caps->Word(kCapFirstAudioSourceUnit));
  } else if (type == kUnitTypeAudioZone) {
    record->type = kTypeAudioZone;
    record->number = static_cast<uint16_t>(record->number + 1 - caps->Word(kCapFirstAudioZoneUnit));
  }
}

HRESULT CollectionOfSlot(int slot, ComPtr<IZelCollection>* collection) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  ComPtr<IDispatch> dispatch;
  ZEL_TRY(server->GetCollection(slot, dispatch.Receive()));
  return QueryAs<IZelCollection>(dispatch.get(), collection);
}

// The element with this ID: S_OK and the element, or S_FALSE when the collection lacks it.
HRESULT FindById(IZelCollection* collection, uint16_t id, ComPtr<IDispatch>* element) {
  Variant found;
  HRESULT hr = collection->Item(Variant::Missing(), Variant::I4(id), &found);
  if (hr != S_OK || found.vt() != VT_DISPATCH || found.dispatch() == nullptr) return S_FALSE;
  *element = ComPtr<IDispatch>(found.dispatch());
  return S_OK;
}

HRESULT LoadBag(IDispatch* element, CPropertyBag* bag) {
  ComPtr<IPersistPropertyBag> persist;
  ZEL_TRY(QueryAs<IPersistPropertyBag>(element, &persist));
  return persist->Load(bag);
}

bool AreaBeyondThoseInUse(uint16_t number) {
  ComPtr<CZelServer> server = ServerInstance();
  Variant in_use;
  if (server == nullptr || Failed(server->SystemParameter(kParamAreasInUse, &in_use))) {
    return false;  // without the setup's count every area record is taken
  }
  Variant count;
  if (Failed(ChangeType(in_use, VT_I4, &count))) return false;
  return number > count.i4();
}

}  // namespace

HRESULT ApplyNameRecord(NameRecord* record, int version, IDispatch** element) {
  if (record == nullptr) return E_POINTER;
  if (element != nullptr) *element = nullptr;
  if (record->type == kTypeUnit && version == kNamesVersion2) RenumberAudioUnit(record);
  Destination destination;
  ZEL_TRY(DestinationOf(record->type, record->number, version, &destination));
  if (destination.slot < 0) return S_OK;
  ComPtr<IZelCollection> collection;
  ZEL_TRY(CollectionOfSlot(destination.slot, &collection));
  if (record->type == kTypeArea && AreaBeyondThoseInUse(record->number)) return S_OK;

  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  (void)bag->Write("NAME", Variant::Str(BStr(Latin1ToUtf8(record->text))));
  ComPtr<IDispatch> target;
  if (FindById(collection.get(), record->number, &target) == S_OK) {
    ZEL_TRY(LoadBag(target.get(), bag.get()));
  } else {
    // Names are what fill the collections: a new element of the record's class.
    ComPtr<IZelCollectionElement> created;
    ZEL_TRY(ClassRegistry::Instance().Create(destination.element_class, &created));
    (void)bag->Write("ID", Variant::I4(record->number));
    target = ComPtr<IDispatch>(created.get());
    ZEL_TRY(LoadBag(target.get(), bag.get()));
    ZEL_TRY(collection->Add(Variant::Dispatch(target.get()), Variant::Missing()));
  }
  if (element != nullptr) *element = target.Detach();
  return S_OK;
}

HRESULT ApplyFriendlyNameRecord(const FriendlyNameRecord& record, int /*version*/) {
  // Left to the implementer: friendly-name types are collection ordinals in both versions, so
  // 8 and 9 restore the audio sources' and zones' friendly names, and no unit is renumbered.
  int slot = -1;
  switch (record.type) {
    case 8:
      slot = kSlotAudioSources;
      break;
    case 9:
      slot = kSlotAudioZones;
      break;
    default: {
      Destination destination;
      ZEL_TRY(DestinationOf(record.type, record.number, kNamesVersion1, &destination));
      slot = destination.slot;
    }
  }
  ComPtr<IZelCollection> collection;
  ZEL_TRY(CollectionOfSlot(slot, &collection));
  ComPtr<IDispatch> target;
  if (FindById(collection.get(), record.number, &target) != S_OK) return S_OK;
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  (void)bag->Write("FRIENDLYNAME", Variant::Str(BStr(Latin1ToUtf8(record.text))));
  (void)bag->Write("DISPLAY", Variant::Bool(record.display != 0));
  return LoadBag(target.get(), bag.get());
}

HRESULT CollectFriendlyNames(std::vector<FriendlyNameRecord>* records) {
  if (records == nullptr) return E_POINTER;
  records->clear();
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  // Ordinal n is the collection at position n - 1.
  constexpr std::array<int, 9> kOrdinalSlots = {kSlotZones,    kSlotUnits,        kSlotButtons,
                                                kSlotCodes,    kSlotAreas,        kSlotThermostats,
                                                kSlotMessages, kSlotAudioSources, kSlotAudioZones};
  for (size_t i = 0; i < kOrdinalSlots.size(); ++i) {
    ComPtr<IDispatch> dispatch;
    if (server->FindCollection(kOrdinalSlots[i], dispatch.Receive()) != S_OK) continue;
    ComPtr<IZelCollection> collection;
    if (Failed(QueryAs<IZelCollection>(dispatch.get(), &collection))) continue;
    int32_t count = 0;
    if (Failed(collection->get_Count(&count))) continue;
    for (int32_t position = 1; position <= count; ++position) {
      Variant item;
      if (collection->Item(Variant::I4(position), Variant::Missing(), &item) != S_OK) continue;
      ComPtr<IZelCollectionElement> element;
      if (Failed(QueryAs<IZelCollectionElement>(item.dispatch(), &element))) continue;
      FriendlyNameRecord record;
      record.type = static_cast<uint32_t>(i + 1);
      Variant id;
      if (Succeeded(element->get_ID(&id))) record.number = static_cast<uint16_t>(id.i4());
      VariantBool display;
      if (Succeeded(element->get_Display(&display))) record.display = display.value != 0 ? 1 : 0;
      BStr name;
      BStr friendly;
      if (Succeeded(element->get_Name(&name)) && Succeeded(element->get_FriendlyName(&friendly)) &&
          !name.IsNull() && !friendly.IsNull() && !(name == friendly)) {
        record.text = Utf8ToLatin1(friendly.str());
      }
      records->push_back(std::move(record));
    }
  }
  return S_OK;
}

}  // namespace zel
