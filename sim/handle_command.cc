// Command (type 0x0F): command number, parameter 1, parameter 2 high and low byte. The
// controller acknowledges and remembers it, and carries it out on its objects
// (object_state.h); a frame of another size is refused.
#include "sim/handlers.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleCommand(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 4) {
    reply->frame = NakFrame();
    return;
  }
  const uint8_t* d = request.data();
  CommandRecord command{d[0], d[1], static_cast<uint16_t>(d[2] << 8 | d[3])};
  state.commands.push_back(command);
  // The zones, units and areas it names change, so the next poll shows its effect.
  ApplyObjectCommand(state, command);
  reply->frame = AckFrame();
}

}  // namespace zel::sim
