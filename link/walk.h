// A multi-frame walk: one request, then an acknowledge for every further reply, until the
// controller has nothing more to send (the setup block, the names, the event log).
//
// The controller steps to its next reply each time it receives an acknowledge. When a reply is
// lost and the acknowledge is sent again, the controller steps twice and one reply is never
// seen. So a walk never resends: a failed exchange restarts it from its first request (the
// caller drops what it took in so far), up to kWalkAttempts times in all. A transport that
// resends on its own (the network transport) is told not to for the walk (IZelLinkResends).
//
// Thread contract: any thread; the whole walk, restarts included, runs inside one atomic
// bracket of the transport, so no other request comes between its frames.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "link/comm_handler.h"

namespace zel {

inline constexpr int kWalkAttempts = 3;

// What a walk's reply handler says about a reply.
enum class WalkStep {
  kNext,  // taken in: acknowledge it to ask for the next
  kDone,  // the walk is complete
};

struct WalkHandlers {
  // Called before every attempt, the first included: forget what earlier attempts took in.
  std::function<void()> restart;
  // Called for every reply. A failure ends the walk at once with that status (no restart: the
  // reply arrived, it is the caller who cannot use it).
  std::function<HRESULT(const uint8_t* frame, WalkStep* step)> reply;
};

// Runs the walk. S_OK when a reply handler said kDone; otherwise the status of the last failed
// exchange once the attempts are spent, or the handler's failure. A null transport: E_UNEXPECTED.
HRESULT RunWalk(IZelCommHandler* link, std::span<const uint8_t> first_request,
                const WalkHandlers& handlers, int attempts = kWalkAttempts);

}  // namespace zel
