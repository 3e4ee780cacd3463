// The server's fifteen collection slots and the registry through which the object model plugs
// its collections into them.
//
// The server creates a slot's collection on first request through the slot's hooks and keeps it
// until reset. The hooks come from the library that implements the collection (the object model,
// the event log, the transport catalogue, the extensions): it registers them at start-up with
// RegisterCollectionSlot. A slot without hooks has no collection: its getter returns E_NOTIMPL.
// The Extensions slot has a built-in default, an empty collection, so the server's start can
// create it before the extensions themselves are registered.
//
// Thread contract: Register/Unregister at start-up or in test set-up and tear-down; lookups from
// any thread (mu_ in the .cc guards the table; hooks are returned by copy).
#pragma once

#include <functional>
#include <optional>

#include "platform/dispatch.h"
#include "server/interfaces.h"

namespace zel {

enum CollectionSlot : int {
  kSlotUnits = 0,
  kSlotThermostats = 1,
  kSlotTemperatureSensors = 2,
  kSlotZones = 3,
  kSlotEvents = 4,
  kSlotSystemEvents = 5,
  kSlotButtons = 6,
  kSlotCodes = 7,
  kSlotExpansions = 8,
  kSlotMessages = 9,
  kSlotAreas = 10,
  kSlotAudioSources = 11,
  kSlotAudioZones = 12,
  kSlotCommHandlers = 13,
  kSlotExtensions = 14,
};
inline constexpr int kCollectionSlotCount = 15;
// Slots 0 to 12 are the polled object-model collections that InitCollections and reset visit.
inline constexpr int kPolledSlotCount = 13;

struct CollectionSlotHooks {
  // Creates the collection; one reference is handed back in *collection.
  std::function<HRESULT(IDispatch** collection)> create;
  // IZelCollection::Init of the collection (first update, then its update thread).
  std::function<HRESULT(IDispatch* collection)> init;
  // IZelCollection::StopUpdate of the collection.
  std::function<HRESULT(IDispatch* collection)> stop_update;
  // Passes a new server status to the collection (the extensions use it); may be empty.
  std::function<void(IDispatch* collection, ServerStatus status)> status_changed;
};

// Installs (or replaces) the hooks of a slot; a slot outside 0 to 14 is ignored.
void RegisterCollectionSlot(int slot, CollectionSlotHooks hooks);
// Removes the hooks of a slot (the Extensions slot falls back to its empty default).
void UnregisterCollectionSlot(int slot);
// The hooks of a slot, or nothing.
std::optional<CollectionSlotHooks> FindCollectionSlot(int slot);

}  // namespace zel
