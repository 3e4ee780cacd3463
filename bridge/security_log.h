// The system-log messages of the front door (message ids of the text catalogue's message table).
// They name identities, members, files and modes; never a code, a token or the access code.
#pragma once

#include <cstdint>

namespace zel {

// Warning: a file holding secrets had wider permissions than allowed and was tightened.
inline constexpr uint32_t MSG_FILE_MODE_TIGHTENED = 0x800200A0;
// Warning: a wrong code came through the bridge (identity and member; never the code).
inline constexpr uint32_t MSG_WRONG_CODE = 0x800200A1;
// Error: stop could not finish because the controller link stayed held; the daemon ends anyway.
inline constexpr uint32_t MSG_STOP_LINK_HELD = 0xC00200A2;
// Warning: the bridge closed a connection (too many from one peer, or headers too slow).
inline constexpr uint32_t MSG_CONNECTION_CLOSED = 0x800200A3;
// Informational: a bearer token was added or removed through the bridge (its name, role and who
// did it; never the token).
inline constexpr uint32_t MSG_TOKEN_CHANGED = 0x400200A5;

}  // namespace zel
