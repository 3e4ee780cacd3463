// SimState: what the simulated controller knows and remembers: the scenario it was started with
// and the state that requests change (login, the commands it has carried out). Handlers read and
// change it; tests read it through the Simulator.
//
// Thread contract: not synchronised itself. The Simulator holds its state mutex while a handler
// runs and while a test reads or changes the state.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "link/network_session.h"
#include "sim/event_log.h"
#include "sim/frames.h"
#include "sim/scenario.h"
#include "sim/sim_objects.h"
#include "sim/system_event_queue.h"

namespace zel::sim {

// One command frame (type 0x0F) the controller acknowledged.
struct CommandRecord {
  uint8_t command = 0;
  uint8_t parameter1 = 0;
  uint16_t parameter2 = 0;
  friend bool operator==(const CommandRecord&, const CommandRecord&) = default;
};

// One set-time frame (type 0x10) as received.
struct SetTimeRecord {
  uint8_t year = 0;  // - 2000
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t day_of_week = 0;  // 1 Monday .. 7 Sunday
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t daylight_saving = 0;
  friend bool operator==(const SetTimeRecord&, const SetTimeRecord&) = default;
};

// The clock as the server last set it: the civil time set (sim/civil_time.h), its
// daylight-saving flag, and when it was set (host monotonic time).
struct ClockSetting {
  int64_t civil_seconds = 0;
  bool daylight_saving = false;
  std::chrono::steady_clock::time_point set_at;
};

// A setup upload in progress: the block, how much has gone, the next block's number.
struct SetupUpload {
  bool active = false;
  std::vector<uint8_t> block;
  size_t offset = 0;
  uint16_t next_block = 0;
};

// Reply frames handed out one per acknowledge (a names upload in progress, an audio metadata
// walk): the frames to send, and the next one's position.
struct FrameSequence {
  bool active = false;
  std::vector<std::vector<uint8_t>> frames;
  size_t next = 0;
};
using NamesUpload = FrameSequence;

// One name the server uploaded (type 0x0B), as received.
struct NameUploadRecord {
  uint8_t type = 0;
  uint16_t number = 0;
  std::string name;
  friend bool operator==(const NameUploadRecord&, const NameUploadRecord&) = default;
};

// The UDP side's session: opened by a new-session request, made secure by a readable
// secure-connection request, closed by terminate or forgotten on request.
struct UdpSession {
  bool open = false;
  bool secure = false;
  SessionId id{};
  Bytes echo;  // offsets 6 to 21 of the new-session answer, which the secure request must carry
};

struct SimState {
  Scenario scenario;
  bool logged_in = false;
  std::vector<CommandRecord> commands;
  std::vector<SetTimeRecord> set_times;
  std::optional<ClockSetting> clock_set;
  SetupUpload setup_upload;
  size_t setup_blocks_sent = 0;
  NamesUpload names_upload;
  FrameSequence metadata_walk;  // see sim/audio_state.h
  std::vector<NameUploadRecord> name_uploads;
  ObjectStates objects;            // zones and units, see sim/object_state.h
  EventLog event_log;              // see sim/event_log.h
  SystemEventQueue system_events;  // see sim/system_event_queue.h
  UdpSession udp;
  int reboots = 0;  // how often the control channel rebooted the controller

  // Requests beyond probe, login and logout are answered only in an open session: after a
  // successful login, or always when the scenario acknowledges the probe without one.
  bool SessionOpen() const { return logged_in || scenario.probe_ack; }
};

}  // namespace zel::sim
