// The simulated controller's queue of system event codes: what it answers to the system events
// request (type 0x22). Codes come from the scenario's "system_events" section and from the
// control channel at run time:
//
//   "system_events": {"queue": [1029, "0x0213", ...], "per_reply": 127}
//
// Each code is a number 0 to 65535 or a hexadecimal text ("0x0405" or "0405"). A request takes
// up to per_reply codes (default and most 127, what one frame holds) from the front of the queue
// and answers them with type 0x23, each code high byte first; an empty queue is answered with
// type 0x23 and no data.
//
// Thread contract: plain data, guarded by the simulator's state mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/status.h"

namespace zel::sim {

inline constexpr uint8_t kSystemEventsRequest = 0x22;
inline constexpr uint8_t kSystemEventsReply = 0x23;
inline constexpr size_t kMaxCodesPerReply = 127;
// Codes waiting at once; an enqueue beyond this is refused whole.
inline constexpr size_t kMaxQueuedCodes = 65536;

struct SystemEventQueue {
  bool loaded = false;
  std::deque<uint16_t> codes;
  size_t per_reply = kMaxCodesPerReply;
  uint64_t sent = 0;  // codes answered so far
};

// Reads a list of codes (numbers or hexadecimal texts). E_INVALIDARG with a reason in *error
// for anything else; nothing is returned then.
HRESULT ParseSystemEventCodes(const nlohmann::json& list, std::vector<uint16_t>* codes,
                              std::string* error);

// Checks a scenario's "system_events" section, if it has one. E_INVALIDARG with a reason.
HRESULT CheckSystemEventsSection(const nlohmann::json& document, std::string* error);

}  // namespace zel::sim
