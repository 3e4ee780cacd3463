// The member table of the outgoing interface _DZelServerEvents: each member's name and dispid
// (its position in kServerEventNames + 1) and its one argument, the event object, or the new
// status for OnServerStatusChange. Clients that know nothing in advance (the bridge) read the
// members' names from it; the server fires sinks by dispid.
//
// Thread contract: built once on first use, read-only afterwards.
#pragma once

#include "platform/dispatch.h"

namespace zel {

const MemberTable& ServerEventsMembers();

}  // namespace zel
