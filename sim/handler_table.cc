#include <array>

#include "link/frame.h"
#include "sim/event_log.h"
#include "sim/handlers.h"
#include "sim/object_state.h"

namespace zel::sim {
namespace {

// One line per message type the simulated controller understands.
constexpr std::array<HandlerEntry, 19> kHandlers = {{
    {MSG_ACK, &HandleAcknowledge, /*needs_session=*/false},
    {MSG_LOGIN, &HandleLogin, /*needs_session=*/false},
    {MSG_LOGOUT, &HandleLogout, /*needs_session=*/false},
    {MSG_COMMAND, &HandleCommand, /*needs_session=*/true},
    {0x11, &HandleSystemInformation, /*needs_session=*/true},
    {0x13, &HandleSystemStatus, /*needs_session=*/true},
    {0x10, &HandleSetTime, /*needs_session=*/true},
    {kSetupUpload, &HandleSetupUpload, /*needs_session=*/true},
    {0x0C, &HandleNamesUpload, /*needs_session=*/true},
    {0x0B, &HandleNameData, /*needs_session=*/true},
    {kZoneStatusRequest, &HandleZoneStatus, /*needs_session=*/true},
    {kUnitStatusRequest, &HandleUnitStatus, /*needs_session=*/true},
    {kEventLogRequest, &HandleEventLog, /*needs_session=*/true},
    {kSensorStatusRequest, &HandleSensorStatus, /*needs_session=*/true},
    {kThermostatStatusRequest, &HandleThermostatStatus, /*needs_session=*/true},
    {kMessageStatusRequest, &HandleMessageStatus, /*needs_session=*/true},
    {kAudioZoneStatusRequest, &HandleAudioZoneStatus, /*needs_session=*/true},
    {kAudioMetadataRequest, &HandleAudioMetadata, /*needs_session=*/true},
    {kSystemEventsRequest, &HandleSystemEvents, /*needs_session=*/true},
}};

}  // namespace

const HandlerEntry* FindHandler(uint8_t type) {
  for (const HandlerEntry& e : kHandlers) {
    if (e.type == type) return &e;
  }
  return nullptr;
}

void HandleRequest(SimState& state, const RequestFrame& request, Reply* reply) {
  reply->send = true;
  reply->frame = NakFrame();
  // During a setup upload an acknowledge asks for the next block; anything else ends it.
  if (state.setup_upload.active) {
    if (request.type() == MSG_ACK) {
      ContinueSetupUpload(state, request, reply);
      return;
    }
    state.setup_upload = SetupUpload{};
  }
  // The same for a names upload and its next name.
  if (state.names_upload.active) {
    if (request.type() == MSG_ACK) {
      ContinueNamesUpload(state, request, reply);
      return;
    }
    state.names_upload = NamesUpload{};
  }
  // The same for a walk of the event log and its next older record.
  if (state.event_log.walking) {
    if (request.type() == MSG_ACK) {
      ContinueEventLog(state, request, reply);
      return;
    }
    state.event_log.walking = false;
  }
  // The same for an audio metadata walk and its next record.
  if (state.metadata_walk.active) {
    if (request.type() == MSG_ACK) {
      ContinueMetadataWalk(state, request, reply);
      return;
    }
    state.metadata_walk = FrameSequence{};
  }
  const HandlerEntry* entry = FindHandler(request.type());
  if (entry == nullptr) return;
  if (entry->needs_session && !state.SessionOpen()) return;
  entry->handle(state, request, reply);
}

}  // namespace zel::sim
