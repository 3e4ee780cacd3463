// Registration of the object model with the process: its element and collection classes by
// class id in the ClassRegistry, its collections in the server's slots, the server's empty
// element, and the name hooks through which the server's names reach the elements.
//
// The model links the server library; the server reaches the model only through what is
// registered here.
//
// Thread contract: call at start-up (the host's main, test set-up) before the server starts.
// Calling it again is harmless.
#pragma once

#include <functional>

#include "server/collection_slots.h"

namespace zel {

void RegisterModelClasses();

// The slot hooks of a polled collection made by `create`: Init and StopUpdate through
// IZelCollection (also for the collections of the event library).
CollectionSlotHooks PolledCollectionHooks(std::function<HRESULT(IDispatch**)> create);

}  // namespace zel
