// Name upload from the server (type 0x0B): name type, number (one byte in 20- and 23-byte
// frames, two bytes high first in 21- and 24-byte frames), the name in a field of 13 bytes
// (types 2 to 6) or 16 bytes (types 1 and 7), ended by a zero byte when shorter. The controller
// records it, takes the name into the scenario's names and acknowledges; a frame whose field
// does not fit its type is refused.
#include "sim/handlers.h"
#include "sim/scenario_names.h"

namespace zel::sim {

void HandleNameData(SimState& state, const RequestFrame& request, Reply* reply) {
  reply->frame = NakFrame();
  size_t size = request.data_size();
  if (size < 1) return;
  const uint8_t* d = request.data();
  size_t field = NameFieldSize(d[0]);
  if (field == 0) return;
  ScenarioName name;
  name.type = d[0];
  size_t text_at = 0;
  if (size == 2 + field) {
    name.number = d[1];
    text_at = 2;
  } else if (size == 3 + field) {
    name.number = static_cast<uint16_t>(d[1] << 8 | d[2]);
    text_at = 3;
  } else {
    return;
  }
  for (size_t i = text_at; i < size && d[i] != 0; ++i) name.name.push_back(static_cast<char>(d[i]));
  state.name_uploads.push_back(NameUploadRecord{name.type, name.number, name.name});
  SetScenarioName(&state.scenario.document, name);
  reply->frame = AckFrame();
}

}  // namespace zel::sim
