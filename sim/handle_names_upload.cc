// Names upload (type 0x0C, no data): the controller sends the scenario's names one frame at a
// time (scenario_names.h). Each acknowledge from the server asks for the next name; after the
// last one the controller answers the end-of-data frame 5A 01 03 41 91. Any other request ends
// the upload.
#include "sim/handlers.h"
#include "sim/scenario_names.h"

namespace zel::sim {

void ContinueNamesUpload(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  NamesUpload& up = state.names_upload;
  if (up.next >= up.frames.size()) {
    up = NamesUpload{};
    reply->frame = MakeFrame(kEndOfData, {});
    return;
  }
  reply->frame = up.frames[up.next++];
}

void HandleNamesUpload(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 0) {
    reply->frame = NakFrame();
    return;
  }
  NamesUpload up;
  up.active = true;
  for (const ScenarioName& name : ScenarioNames(state.scenario.document)) {
    up.frames.push_back(NameFrame(name));
  }
  state.names_upload = std::move(up);
  ContinueNamesUpload(state, request, reply);
}

}  // namespace zel::sim
