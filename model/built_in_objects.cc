#include "model/built_in_objects.h"

#include "model/collection_interfaces.h"
#include "model/system_zone_tables.h"
#include "model/unit_types.h"
#include "platform/class_registry.h"
#include "platform/property_bag.h"
#include "platform/resource_library.h"
#include "server/collection_slots.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr uint16_t kFirstBuiltInCode = 250;
constexpr uint32_t kFirstBuiltInCodeStringId = 194;
constexpr int kBuiltInCodeCount = 6;
constexpr uint32_t kZoneOutputStringId = 240;
// Zones of this type drive an output unit of their own.
constexpr int32_t kZoneTypeWithOutput = 80;

HRESULT CollectionOfSlot(CZelServer* server, int slot, ComPtr<IZelCollection>* collection) {
  ComPtr<IDispatch> dispatch;
  ZEL_TRY(server->GetCollection(slot, dispatch.Receive()));
  return QueryAs<IZelCollection>(dispatch.get(), collection);
}

// Creates an element of `clsid` named by a resource string and appends it.
HRESULT AddNamedElement(IZelCollection* collection, const CLSID& clsid, uint16_t id,
                        uint32_t string_id) {
  ComPtr<IZelCollectionElement> element;
  ZEL_TRY(ClassRegistry::Instance().Create(clsid, &element));
  BStr name;
  // Left to the implementer: a text missing from the catalogue names the object "".
  if (Failed(LoadResourceString(string_id, &name))) name = BStr("");
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  (void)bag->Write("NAME", Variant::Str(name));
  (void)bag->Write("ID", Variant::I4(id));
  ComPtr<IPersistPropertyBag> persist;
  ZEL_TRY(QueryAs<IPersistPropertyBag>(element.get(), &persist));
  ZEL_TRY(persist->Load(bag.get()));
  return collection->Add(Variant::Dispatch(element.get()), Variant::Missing());
}

HRESULT AddBuiltInCodes(CZelServer* server) {
  ComPtr<IZelCollection> codes;
  ZEL_TRY(CollectionOfSlot(server, kSlotCodes, &codes));
  for (int i = 0; i < kBuiltInCodeCount; ++i) {
    ZEL_TRY(AddNamedElement(codes.get(), kClsidZelCode,
                            static_cast<uint16_t>(kFirstBuiltInCode + i),
                            kFirstBuiltInCodeStringId + i));
  }
  return S_OK;
}

HRESULT AddSystemZones(CZelServer* server) {
  std::span<const SystemZoneRow> table = SystemZoneTableForCreation(server->model_index());
  if (table.empty()) return S_OK;
  ComPtr<IZelCollection> zones;
  ZEL_TRY(CollectionOfSlot(server, kSlotZones, &zones));
  for (const SystemZoneRow& row : table) {
    ZEL_TRY(AddNamedElement(zones.get(), kClsidZelZone, row.zone, row.point));
  }
  return S_OK;
}

// The zone's Type through its automation members; false when it has none or it cannot be read.
bool ZoneHasOutput(IDispatch* zone) {
  Variant type;
  if (Failed(GetProperty(zone, "Type", &type))) return false;
  Variant number;
  return Succeeded(ChangeType(type, VT_I4, &number)) && number.i4() == kZoneTypeWithOutput;
}

HRESULT AddZoneOutputs(CZelServer* server) {
  const CapabilityRecord* caps = server->capabilities();
  if (caps == nullptr) return S_OK;
  ComPtr<IZelCollection> zones;
  ZEL_TRY(CollectionOfSlot(server, kSlotZones, &zones));
  ComPtr<IZelCollection> units;
  ZEL_TRY(CollectionOfSlot(server, kSlotUnits, &units));
  int32_t count = 0;
  ZEL_TRY(zones->get_Count(&count));
  for (int32_t position = 1; position <= count; ++position) {
    Variant item;
    if (zones->Item(Variant::I4(position), Variant::Missing(), &item) != S_OK) continue;
    if (!ZoneHasOutput(item.dispatch())) continue;
    ComPtr<IZelCollectionElement> zone;
    ZEL_TRY(QueryAs<IZelCollectionElement>(item.dispatch(), &zone));
    Variant id;
    ZEL_TRY(zone->get_ID(&id));
    uint16_t unit = PairedUnitNumber(*caps, static_cast<uint16_t>(id.i4()));
    ZEL_TRY(AddNamedElement(units.get(), ConnectedUnitClass(unit), unit, kZoneOutputStringId));
  }
  return S_OK;
}

}  // namespace

HRESULT AddBuiltInObjects() {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  ZEL_TRY(AddBuiltInCodes(server.get()));
  ZEL_TRY(AddSystemZones(server.get()));
  return AddZoneOutputs(server.get());
}

}  // namespace zel
