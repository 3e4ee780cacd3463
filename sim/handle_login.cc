// Login (type 0x20): four data bytes, the access code's digits as values 0 to 9.
#include "sim/handlers.h"

namespace zel::sim {

void HandleLogin(SimState& state, const RequestFrame& request, Reply* reply) {
  const std::string& code = state.scenario.access_code;
  bool match = request.data_size() == 4 && code.size() == 4;
  for (size_t i = 0; match && i < 4; ++i) {
    match = request.data()[i] == static_cast<uint8_t>(code[i] - '0');
  }
  state.logged_in = match;
  reply->frame = match ? AckFrame() : NakFrame();
}

}  // namespace zel::sim
