// Command (type 0x0F): command number, parameter 1, parameter 2 high and low byte. The
// controller acknowledges and remembers it; a frame of another size is refused.
#include "sim/handlers.h"

namespace zel::sim {

void HandleCommand(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 4) {
    reply->frame = NakFrame();
    return;
  }
  const uint8_t* d = request.data();
  state.commands.push_back(CommandRecord{d[0], d[1], static_cast<uint16_t>(d[2] << 8 | d[3])});
  reply->frame = AckFrame();
}

}  // namespace zel::sim
