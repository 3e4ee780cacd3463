// Event log (type 0x0D, no data): the controller answers with its newest record; each
// acknowledge asks for the next older one; after the oldest it answers the end-of-data frame
// 5A 01 03 41 91. An empty log answers end-of-data at once. Any other request ends the walk.
#include "sim/event_log.h"
#include "sim/handlers.h"

namespace zel::sim {

void ContinueEventLog(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  EventLog& log = state.event_log;
  if (log.next == 0) {
    log.walking = false;
    reply->frame = MakeFrame(kEndOfData, {});
    return;
  }
  reply->frame = log.records[--log.next];
}

void HandleEventLog(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 0) {
    reply->frame = NakFrame();
    return;
  }
  EventLog& log = state.event_log;
  LoadScenarioLog(state.scenario.document, &log);
  log.walking = true;
  log.next = log.records.size();
  ContinueEventLog(state, request, reply);
}

}  // namespace zel::sim
