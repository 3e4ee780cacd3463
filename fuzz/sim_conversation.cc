#include "fuzz/sim_conversation.h"

#include <cstdint>

#include "link/frame.h"
#include "sim/frames.h"
#include "sim/handlers.h"

namespace zel::fuzz {
namespace {

// A walk never asks for more than this many further replies (a scenario with a longer log, say,
// is cut short: the rest of it is more of the same).
constexpr int kWalkLimit = 300;

bool Exchange(sim::SimState& state, const sim::Bytes& request, const ReplyObserver& observe,
              sim::Bytes* reply_frame = nullptr) {
  sim::RequestFrame frame{request, true};
  sim::Reply reply;
  sim::HandleRequest(state, frame, &reply);
  if (!reply.send) return false;
  if (observe) observe(request, reply.frame);
  if (reply_frame != nullptr) *reply_frame = reply.frame;
  return true;
}

// A walk: the first request, then acknowledges while the replies are data of the walk.
void Walk(sim::SimState& state, const sim::Bytes& first, const ReplyObserver& observe) {
  sim::Bytes reply;
  if (!Exchange(state, first, observe, &reply)) return;
  for (int i = 0; i < kWalkLimit; ++i) {
    if (reply.size() < 3 || IsEndOfWalkFrame(reply.data())) return;
    if (!Exchange(state, sim::AckFrame(), observe, &reply)) return;
  }
}

sim::Bytes ItemRequest(uint8_t type, uint16_t number) {
  if (number < 256)
    return sim::MakeFrame(type, {static_cast<uint8_t>(number), static_cast<uint8_t>(number)});
  const uint8_t hi = static_cast<uint8_t>(number >> 8), lo = static_cast<uint8_t>(number & 0xFF);
  return sim::MakeFrame(type, {hi, lo, hi, lo});
}

}  // namespace

void RunConversation(sim::SimState& state, const ReplyObserver& observe) {
  sim::Bytes digits;
  for (char c : state.scenario.access_code) digits.push_back(static_cast<uint8_t>(c - '0'));
  Exchange(state, sim::MakeFrame(0x20, digits), observe);  // login
  Exchange(state, sim::MakeFrame(0x11, {}), observe);      // system information
  Exchange(state, sim::MakeFrame(0x13, {}), observe);      // system status
  Walk(state, sim::MakeFrame(0x04, {}), observe);          // setup upload
  Walk(state, sim::MakeFrame(0x0C, {}), observe);          // names upload
  Walk(state, sim::MakeFrame(0x0D, {}), observe);          // event log
  // The status of each object kind: the first few, one far out, one of the long form.
  for (uint8_t type : {0x15, 0x17, 0x19, 0x1E, 0x31}) {
    for (uint16_t number : {1, 2, 3, 4, 5, 8, 16, 64, 255, 300, 511}) {
      Exchange(state, ItemRequest(type, number), observe);
    }
  }
  Exchange(state, sim::MakeFrame(0x24, {}), observe);  // message status
  for (uint8_t source = 1; source <= 4; ++source) {
    Walk(state, sim::MakeFrame(0x33, {source}), observe);  // audio metadata
  }
  for (int i = 0; i < 4; ++i) Exchange(state, sim::MakeFrame(0x22, {}), observe);
  Exchange(state, sim::MakeFrame(0x0F, {0x01, 0x00, 0x00, 0x01}), observe);  // unit 1 on
  Exchange(state, sim::MakeFrame(0x21, {}), observe);                        // logout
}

}  // namespace zel::fuzz
