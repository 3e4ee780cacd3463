// SimState: what the simulated controller knows and remembers: the scenario it was started with
// and the state that requests change (login, the commands it has carried out). Handlers read and
// change it; tests read it through the Simulator.
//
// Thread contract: not synchronised itself. The Simulator holds its state mutex while a handler
// runs and while a test reads or changes the state.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/scenario.h"

namespace zel::sim {

// One command frame (type 0x0F) the controller acknowledged.
struct CommandRecord {
  uint8_t command = 0;
  uint8_t parameter1 = 0;
  uint16_t parameter2 = 0;
  friend bool operator==(const CommandRecord&, const CommandRecord&) = default;
};

struct SimState {
  Scenario scenario;
  bool logged_in = false;
  std::vector<CommandRecord> commands;

  // Requests beyond probe, login and logout are answered only in an open session: after a
  // successful login, or always when the scenario acknowledges the probe without one.
  bool SessionOpen() const { return logged_in || scenario.probe_ack; }
};

}  // namespace zel::sim
