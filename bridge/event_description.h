// The JSON of an object that comes with an event: its handle and class as every object
// (variant_json.h), and its properties read at once, so a client sees what the event says
// without asking again:
//
//   {"vt":9,"object":"h7","class":"CZelSystemZoneEvent",
//    "properties":{"Code":{"vt":3,"value":1029},"State":{"vt":3,"value":0},
//                  "Zone":{"vt":9,"object":"h3","class":"CZelZone","name":"FRONT DOOR"},...}}
//
// Every property of the object's member table that any client may read (role read) and that
// needs no arguments is read; one that fails is left out. An object among the properties gets a handle of the session, and its
// "name" when it has a readable Name. Values that are not objects are encoded as they are.
//
// Thread contract: stateless; runs on the thread that writes the event (the event stream's).
#pragma once

#include "bridge/variant_json.h"

namespace zel::bridge {

Json DescribeEventArgument(const Variant& argument, ObjectResolver* resolver);

}  // namespace zel::bridge
