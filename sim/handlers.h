// Message handlers of the simulated controller: one function per message type, each in its own
// file (handle_<message>.cc), listed in one table by type (handler_table.cc). A handler reads
// the request, changes the state and fills in the reply frame. New message types are new handler
// files plus one table line.
//
// Thread contract: handlers run on the simulator's thread with the state mutex held.
#pragma once

#include <cstdint>

#include "sim/frames.h"
#include "sim/sim_state.h"

namespace zel::sim {

struct Reply {
  Bytes frame;       // sent as it is (faults may still change it)
  bool send = true;  // false: the controller stays silent
};

using Handler = void (*)(SimState& state, const RequestFrame& request, Reply* reply);

struct HandlerEntry {
  uint8_t type = 0;
  Handler handle = nullptr;
  bool needs_session = true;  // answered with the negative acknowledge outside a session
};

// Finds the entry for a message type; null when the controller does not know the type.
const HandlerEntry* FindHandler(uint8_t type);

// Answers one request with a good CRC: its handler, or the negative acknowledge for unknown
// types and for requests outside a session.
void HandleRequest(SimState& state, const RequestFrame& request, Reply* reply);

// The handlers.
void HandleAcknowledge(SimState& state, const RequestFrame& request, Reply* reply);        // 0x05
void HandleLogin(SimState& state, const RequestFrame& request, Reply* reply);              // 0x20
void HandleLogout(SimState& state, const RequestFrame& request, Reply* reply);             // 0x21
void HandleCommand(SimState& state, const RequestFrame& request, Reply* reply);            // 0x0F
void HandleSystemInformation(SimState& state, const RequestFrame& request, Reply* reply);  // 0x11
void HandleSystemStatus(SimState& state, const RequestFrame& request, Reply* reply);       // 0x13
void HandleSetTime(SimState& state, const RequestFrame& request, Reply* reply);            // 0x10
void HandleSetupUpload(SimState& state, const RequestFrame& request, Reply* reply);        // 0x04
// The acknowledge that asks for the next block while a setup upload runs.
void ContinueSetupUpload(SimState& state, const RequestFrame& request, Reply* reply);
void HandleNamesUpload(SimState& state, const RequestFrame& request, Reply* reply);  // 0x0C
void HandleNameData(SimState& state, const RequestFrame& request, Reply* reply);     // 0x0B
// The acknowledge that asks for the next name while a names upload runs.
void ContinueNamesUpload(SimState& state, const RequestFrame& request, Reply* reply);
void HandleEventLog(SimState& state, const RequestFrame& request, Reply* reply);  // 0x0D
// The acknowledge that asks for the next older record while a log walk runs.
void ContinueEventLog(SimState& state, const RequestFrame& request, Reply* reply);
void HandleSystemEvents(SimState& state, const RequestFrame& request, Reply* reply);  // 0x22
// The system event queue, read from the scenario on first use.
SystemEventQueue& SystemEvents(SimState& state);

// Message types of the replies these handlers send.
inline constexpr uint8_t kEndOfData = 0x03;
inline constexpr uint8_t kSetupUpload = 0x04;  // the request and its data blocks
inline constexpr uint8_t kSystemInformationReply = 0x12;
inline constexpr uint8_t kSystemStatusReply = 0x14;

}  // namespace zel::sim
