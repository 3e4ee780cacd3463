// A whole conversation with the simulated controller, as the server holds it at start and while
// polling: login, system information and status, the setup, names and event-log walks, the
// status of every object kind, audio metadata, system events, a command and the logout. Each
// request goes through the simulator's handler table; the fuzz targets and the seed-corpus
// generator see every reply.
//
// Thread contract: runs on the caller's thread over the caller's state.
#pragma once

#include <functional>

#include "sim/sim_state.h"

namespace zel::fuzz {

using ReplyObserver = std::function<void(const sim::Bytes& request, const sim::Bytes& reply)>;

void RunConversation(sim::SimState& state, const ReplyObserver& observe);

}  // namespace zel::fuzz
