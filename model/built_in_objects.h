// The controller's built-in objects, added after the last name record (by the names download
// and by the loading of stored names), in this order:
//   1. user codes 250 to 255, named by strings 194 to 199, to Codes;
//   2. the system zones of the connected model's table (system_zone_tables.h), named by their
//      point's string, to Zones;
//   3. for every zone whose Type reads 80, its output unit (PairedUnitNumber), of the class the
//      unit type rule gives, named by string 240, to Units.
// The first failing step ends the sequence with its code.
//
// Thread contract: any thread; the collections do their own locking.
#pragma once

#include "platform/status.h"

namespace zel {

HRESULT AddBuiltInObjects();

}  // namespace zel
