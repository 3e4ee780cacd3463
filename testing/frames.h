// Frames for tests: a sealed frame of a message type and data bytes (the simulator's builder, so
// tests and the simulator seal frames one way), the fixed frames as byte vectors, and the
// request frames the server's helpers send, for comparing with what a link received.
//
// Thread contract: stateless.
#pragma once

#include <cstdint>
#include <vector>

namespace zel {

using Bytes = std::vector<uint8_t>;

// Start byte, L = data + 1, type, data, CRC low and high.
Bytes SealFrame(uint8_t type, const Bytes& data);
Bytes AckBytes();
Bytes NakBytes();
Bytes EndOfDataBytes();
// The 7-byte request for one item below 256 (first = last = number) of a message type.
Bytes ItemRequestFrame(uint8_t type, uint8_t number);
// The 9-byte command frame 5A 05 0F cmd p1 p2hi p2lo crc.
Bytes CommandFrame(uint8_t command, uint8_t parameter1, uint16_t parameter2);

}  // namespace zel
