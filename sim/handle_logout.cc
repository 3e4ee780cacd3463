// Logout (type 0x21, no data): ends the session; always acknowledged.
#include "sim/handlers.h"

namespace zel::sim {

void HandleLogout(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  state.logged_in = false;
  reply->frame = AckFrame();
}

}  // namespace zel::sim
