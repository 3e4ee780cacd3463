#include "server/collection_slots.h"

#include <array>

#include "platform/sync.h"
#include "server/empty_collection.h"

namespace zel {
namespace {

Mutex g_slots_mu;
std::array<std::optional<CollectionSlotHooks>, kCollectionSlotCount> g_slots
    ZEL_GUARDED_BY(g_slots_mu);

// Until the extensions library registers its collection, Extensions is an empty collection.
CollectionSlotHooks EmptyExtensionsHooks() {
  CollectionSlotHooks hooks;
  hooks.create = [](IDispatch** collection) -> HRESULT {
    if (collection == nullptr) return E_POINTER;
    *collection = MakeObject<CZelEmptyCollection>().Detach();
    return S_OK;
  };
  return hooks;
}

}  // namespace

void RegisterCollectionSlot(int slot, CollectionSlotHooks hooks) {
  if (slot < 0 || slot >= kCollectionSlotCount) return;
  MutexLock g(&g_slots_mu);
  g_slots[slot] = std::move(hooks);
}

void UnregisterCollectionSlot(int slot) {
  if (slot < 0 || slot >= kCollectionSlotCount) return;
  MutexLock g(&g_slots_mu);
  g_slots[slot].reset();
}

std::optional<CollectionSlotHooks> FindCollectionSlot(int slot) {
  if (slot < 0 || slot >= kCollectionSlotCount) return std::nullopt;
  MutexLock g(&g_slots_mu);
  if (g_slots[slot]) return g_slots[slot];
  if (slot == kSlotExtensions) return EmptyExtensionsHooks();
  return std::nullopt;
}

}  // namespace zel
