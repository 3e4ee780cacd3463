// The simulated controller's event log: the records it has logged, oldest first, and the walk
// the server runs over them (handle_event_log.cc).
//
// A record comes from the scenario's "log" section (newest first, as the controller lists it)
// or from the control channel ({"log_event":{...}}), as a JSON object:
//   {"type":49, "parameter1":0, "parameter2":1, "parameter3":0,
//    "month":6, "day":15, "hour":13, "minute":45}
// "type" is required (0 to 255); the parameters default to 0; without "month" the record
// carries no time (time flag 0). Its reply frame, type 0x0E, is
//   5A 0C 0E 00 flag month day hour minute type parameter1 00 parameter2 parameter3 CRC.
//
// The walk points at a record, not at a position from the newest end, so records logged while
// a walk runs do not move it; rolling the log over (dropping the oldest) moves it with the
// records, and a walk whose record was dropped meets the end of the log.
//
// Thread contract: part of SimState (the Simulator's state mutex).
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sim/frames.h"

namespace zel::sim {

inline constexpr uint8_t kEventLogRequest = 0x0D;
inline constexpr uint8_t kEventLogRecord = 0x0E;

struct EventLog {
  bool loaded = false;         // the scenario's section has been read
  std::vector<Bytes> records;  // reply frames, oldest first
  bool walking = false;
  size_t next = 0;  // while walking: records[next - 1] is the next reply; 0: the end
};

// The reply frame of a record object. E_INVALIDARG with a reason for a field out of range.
HRESULT EventRecordFrame(const nlohmann::json& record, Bytes* frame, std::string* error);

// Reads the scenario's "log" section into the log once (a malformed record is skipped).
void LoadScenarioLog(const nlohmann::json& document, EventLog* log);

// Logs a record as the newest.
void AppendEventRecord(EventLog* log, Bytes frame);
// Drops the `count` oldest records.
void RollEventLog(EventLog* log, size_t count);

}  // namespace zel::sim
