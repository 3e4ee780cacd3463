// The member table of the outgoing interface _DZelServerEvents: each member's name and dispid
// (its position in kServerEventNames + 1) and its one argument, the event object, or the new
// status for OnServerStatusChange; and our own OnLinkStateChange. Clients that know nothing in
// advance (the bridge) read the members' names from it; the server fires sinks by dispid.
//
// Thread contract: built once on first use, read-only afterwards.
#pragma once

#include "platform/dispatch.h"

namespace zel {

// Our own event beside the 25: the controller link's health changed; one argument, the new
// state as text ("up", "degraded", "down"). Outside the dispids 1 to 25 of the others.
inline constexpr DISPID kDispidSinkOnLinkStateChange = 0x7010;
// The server's own link-health properties (LinkState, LinkFailures, LinkLastGood).
inline constexpr DISPID kDispidLinkState = 0x7000;
inline constexpr DISPID kDispidLinkFailures = 0x7001;
inline constexpr DISPID kDispidLinkLastGood = 0x7002;

const MemberTable& ServerEventsMembers();

}  // namespace zel
