// Fuzz target for zelsim's scenario loader: the input is a scenario file. One that loads is
// played through a whole conversation (sim_conversation.h), so every section a handler reads
// (setup, names, objects, log, events, audio...) is read the way the controller reads it.
// Every reply must be a whole frame with a good CRC.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/sim_conversation.h"
#include "link/frame.h"
#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::FuzzInput in(data, size);
  zel::sim::SimState state;
  std::string error;
  if (zel::Failed(zel::sim::ParseScenario(in.RestText(), &state.scenario, &error))) {
    if (error.empty()) std::abort();  // a refusal says why
    return 0;
  }
  zel::fuzz::RunConversation(state, [](const zel::sim::Bytes&, const zel::sim::Bytes& reply) {
    if (reply.size() < 5 || reply[0] != zel::kFrameStart ||
        reply.size() != size_t{reply[1]} + zel::kFrameOverhead ||
        !zel::FrameCrcMatches(reply.data())) {
      std::abort();
    }
  });
  return 0;
}
