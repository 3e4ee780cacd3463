// System information (type 0x11, no data): answered with type 0x12 carrying the model code, the
// firmware's major, minor and (signed) revision, and the phone number with a terminating zero.
#include "sim/handlers.h"

namespace zel::sim {

void HandleSystemInformation(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  const Scenario& s = state.scenario;
  Bytes data;
  data.reserve(5 + s.phone_number.size());
  data.push_back(static_cast<uint8_t>(s.model));
  data.push_back(static_cast<uint8_t>(s.firmware.major));
  data.push_back(static_cast<uint8_t>(s.firmware.minor));
  data.push_back(static_cast<uint8_t>(static_cast<int8_t>(s.firmware.revision)));
  for (char c : s.phone_number) data.push_back(static_cast<uint8_t>(c));
  data.push_back(0);
  reply->frame = MakeFrame(kSystemInformationReply, data);
}

}  // namespace zel::sim
