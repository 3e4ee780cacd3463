// Where an event goes: every controller event is delivered first to its general member (OnEvent
// for an entry of the event log, OnSystemEvent for a live system event), then to the member of
// its Type, if it has one. A member is named once and reached two ways: the handler slot of its
// On... property (kHandlerPropertyNames) and the sink dispid of _DZelServerEvents
// (kServerEventNames).
//
// Also what the object model must refresh before an event is delivered, so that a client that
// reads a zone, unit, area or message in its handler sees the state the event reports.
//
// Thread contract: pure functions over constant tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "server/interfaces.h"

namespace zel {

// A member of both the handler properties and the outgoing interface.
struct EventMember {
  int slot = -1;                 // handler slot (dispid of the On... property - 0x60E)
  DISPID sink = DISPID_UNKNOWN;  // dispid of the _DZelServerEvents member
};

// The member of a name in kHandlerPropertyNames; nothing for an unknown name.
std::optional<EventMember> EventMemberNamed(std::string_view name);

// The members an event of the log reaches: "OnEvent", then the member of its type (or none).
inline constexpr std::string_view kLogGeneralMember = "OnEvent";
inline constexpr std::string_view kSystemGeneralMember = "OnSystemEvent";
// The member of a log event type besides OnEvent; empty for none.
std::string_view LogEventMember(int32_t type);
// The member of a system event type besides OnSystemEvent; empty for none.
std::string_view SystemEventMember(int32_t type);

// What a log event refreshes before delivery (all updates without events).
enum class LogRefresh {
  kNothing,
  kAllZones,       // Update of every zone
  kAreaThenZones,  // Update of the event's area (TryUpdate of all areas if unknown), every zone
  kAllMessages,    // TryUpdate of every message
};
LogRefresh LogEventRefresh(int32_t type);

// What a system event refreshes before delivery.
enum class SystemRefresh {
  kNothing,
  kZone,            // Update of the event's zone (TryUpdate of all zones if unknown)
  kUnit,            // Update of the event's unit (TryUpdate of all units if unknown)
  kZonesIfNoDelay,  // Update of every zone when ExitDelay is the 4-byte integer 0
};
SystemRefresh SystemEventRefresh(int32_t type);

}  // namespace zel
