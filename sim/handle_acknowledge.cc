// The acknowledge frame sent to the controller is the server's probe: "may I send requests?"
#include "sim/handlers.h"

namespace zel::sim {

void HandleAcknowledge(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  reply->frame = state.SessionOpen() ? AckFrame() : NakFrame();
}

}  // namespace zel::sim
