// System events (type 0x22): the codes queued since the last request, answered with type 0x23
// (sim/system_event_queue.h).
#include <algorithm>

#include "sim/handlers.h"
#include "sim/system_event_queue.h"

namespace zel::sim {

SystemEventQueue& SystemEvents(SimState& state) {
  SystemEventQueue& q = state.system_events;
  if (q.loaded) return q;
  q.loaded = true;
  auto section = state.scenario.document.find("system_events");
  if (section == state.scenario.document.end() || !section->is_object()) return q;
  std::vector<uint16_t> codes;
  std::string error;
  // The scenario was checked when it was read; a bad list here leaves the queue empty.
  if (auto list = section->find("queue");
      list != section->end() && Succeeded(ParseSystemEventCodes(*list, &codes, &error))) {
    q.codes.assign(codes.begin(), codes.end());
  }
  if (auto per = section->find("per_reply"); per != section->end() && per->is_number_unsigned()) {
    q.per_reply = std::clamp<size_t>(per->get<size_t>(), 1, kMaxCodesPerReply);
  }
  return q;
}

void HandleSystemEvents(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 0) return;  // the negative acknowledge stays
  SystemEventQueue& q = SystemEvents(state);
  Bytes data;
  for (size_t n = 0; n < q.per_reply && !q.codes.empty(); ++n) {
    uint16_t code = q.codes.front();
    q.codes.pop_front();
    data.push_back(static_cast<uint8_t>(code >> 8));
    data.push_back(static_cast<uint8_t>(code & 0xFF));
    ++q.sent;
  }
  reply->frame = MakeFrame(kSystemEventsReply, data);
}

}  // namespace zel::sim
