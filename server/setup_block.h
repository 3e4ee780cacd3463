// One data block of the setup upload: the reply frame's bytes from offset 5, length byte - 3 of
// them (the type byte and a two-byte block header are not payload).
//
// Thread contract: stateless.
#pragma once

#include <cstdint>
#include <span>

#include "platform/status.h"

namespace zel {

// The payload of a data block frame (a whole frame as the link hands it up: L + 4 bytes).
// Left to the implementer: a frame too short to carry a block header is not a block: E_FAIL.
HRESULT SetupBlockPayload(const uint8_t* frame, std::span<const uint8_t>* payload);

}  // namespace zel
