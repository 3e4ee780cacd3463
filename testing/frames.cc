#include "testing/frames.h"

#include "link/frame.h"
#include "sim/frames.h"

namespace zel {

Bytes SealFrame(uint8_t type, const Bytes& data) { return sim::MakeFrame(type, data); }
Bytes AckBytes() { return Bytes(kAckFrame.begin(), kAckFrame.end()); }
Bytes NakBytes() { return Bytes(kNakFrame.begin(), kNakFrame.end()); }
Bytes EndOfDataBytes() { return Bytes(kEndOfDataFrame.begin(), kEndOfDataFrame.end()); }

Bytes ItemRequestFrame(uint8_t type, uint8_t number) { return SealFrame(type, {number, number}); }

Bytes CommandFrame(uint8_t command, uint8_t parameter1, uint16_t parameter2) {
  return SealFrame(MSG_COMMAND, {command, parameter1, static_cast<uint8_t>(parameter2 >> 8),
                                 static_cast<uint8_t>(parameter2 & 0xFF)});
}

}  // namespace zel
