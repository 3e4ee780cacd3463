// Message status (type 0x24, no data): answered with type 0x25 and the model's length. Data byte
// 0 is not used by the server (sent as 0); from data byte 1 on, two bits per message, four
// messages per byte, the first of each four in the top bits: bit value 0 not displayed,
// acknowledged; 1 displayed, acknowledged; 2 not displayed, not acknowledged; 3 displayed, not
// acknowledged. Models without message status answer with the negative acknowledge.
#include "sim/controller_model.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleMessageStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  uint8_t length = MessageStatusReplyLength(ModelIndexOfCode(state.scenario.model));
  if (length == 0 || request.data_size() != 0) return;  // the negative acknowledge stays
  Bytes data(length - 1u, 0);
  for (const auto& [number, message] : Objects(state).messages) {
    size_t at = 1 + (number - 1u) / 4;
    if (at >= data.size()) continue;  // beyond what the model reports
    uint8_t bits =
        static_cast<uint8_t>((message.displayed ? 1 : 0) | (message.acknowledged ? 0 : 2));
    data[at] |= static_cast<uint8_t>(bits << (2 * (3 - (number - 1u) % 4)));
  }
  reply->frame = MakeFrame(kMessageStatusReply, data);
}

}  // namespace zel::sim
