// What the zone, unit and area classes share for their controller commands: the server's
// transport, the user number of a security code, the command frame itself, and the refresh
// through the server's collection that follows a successful command.
//
// Every helper reaches the server through the module-wide server pointer; without a server
// they fail with E_FAIL and send nothing.
//
// Thread contract: stateless; any thread (client threads call the commands). The collections
// and the transport do their own locking.
#pragma once

#include <cstdint>

#include "model/collection_interfaces.h"
#include "server/collection_slots.h"

namespace zel {

// The code check of a security-code argument: S_OK with the one-based user number, or the
// resolution's failure (E_SRV_LOGIN_DENIED for a code that matches none). Models 9 and 10 take
// every argument as user 1.
HRESULT ResolveUserNumber(const Variant& security_code, uint8_t* user_number);

// Sends the 9-byte command frame over the server's transport and requires the acknowledge.
HRESULT SendObjectCommand(uint8_t command, uint8_t parameter1, uint16_t parameter2);

// The collection of a server slot as IZelCollection (created on first request).
HRESULT GetServerCollection(int slot, ComPtr<IZelCollection>* collection);

// Update(TRUE, position) of `element` in the server's collection of `slot`. The position is the
// element's own Index when the element stands there; otherwise (an element that was also added
// to another collection, which rewrites its Index) its position is looked up by identity.
HRESULT RefreshElement(int slot, IDispatch* element, uint32_t index);

// Update(TRUE, every element) of the server's collection of `slot`: waits for a running pass.
HRESULT RefreshCollection(int slot);

// The controller model index of the connected controller (-1 without a server or model).
int ConnectedModelIndex();

}  // namespace zel
