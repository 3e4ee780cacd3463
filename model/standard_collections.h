// The initial update intervals of the collections (their constructors' UpdateInterval), in one
// place with their rules: some depend on the connected controller.
//
// Thread contract: stateless (the rules read the server's connected-controller state).
#pragma once

#include "model/collection.h"

namespace zel {

// Initial UpdateInterval values (milliseconds, unsigned 32-bit; empty: never polled).
Variant NoInterval();                  // empty variant
Variant NotPolledInterval();           // VT_UI4 0
Variant UnitsInterval();               // 1500
Variant ThermostatsInterval();         // 5000
Variant TemperatureSensorsInterval();  // 30000
Variant MessagesInterval();            // 5000, or 0 on controller model index 0
Variant AudioInterval();               // 1000 when system parameter 20 reads true, else 0

}  // namespace zel
