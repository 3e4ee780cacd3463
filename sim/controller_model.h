// What the simulated controller knows about its own model: which model index its model code
// belongs to, how long its system-status reply is (and so how many area mode bytes it carries),
// how large its setup block is, and where the installer's settings lie in that block.
//
// These are the controller's tables, kept apart from the server's so the simulator checks the
// server rather than repeating it.
//
// Thread contract: constant data and stateless lookups.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::sim {

// -1 for a code without a model (and for every code from 38 up).
int ModelIndexOfCode(int model_code);

// The length byte of the system-status reply (type byte plus data) for a model index: the 14
// status bytes, then one mode byte per area. Models without a status layout use 0x11.
uint8_t StatusReplyLength(int model_index);

// The length byte of the message-status reply (type byte plus data) for a model index; 0 for
// models without message status.
uint8_t MessageStatusReplyLength(int model_index);

// Where a model keeps its settings in the setup block; -1 where the model has no such setting.
struct SetupLayout {
  size_t size = 1024;        // bytes of the whole block
  int user_codes = -1;       // 14-byte code records: code (2 bytes, high first), authority,
                             // reserved, start h/m/month/day, reserved, end h/m/month/day
  int areas_in_use = -1;     // one byte
  int expansion_types = -1;  // one byte per expansion
  int temperature_format = -1;
  int thermostat_types = -1;  // one byte per thermostat
  int time_zone = -1;
  int zone_areas = -1;  // one byte per zone
  int zone_types = -1;  // one byte per zone
  int first_house_code = -1;
  int lighting_formats = -1;      // one byte per lighting group
  int audio_modules = -1;         // one byte per audio module slot (first block)
  int audio_modules_second = -1;  // the slots after `audio_modules_first_count`, second block
  int audio_modules_first_count = 0;
};

// The layout of a model index with the given firmware (from 2.16 on, models 5 and 7 keep some
// audio module slots in a second block); a layout with size only for models without one.
SetupLayout LayoutOf(int model_index, int major, int minor);

}  // namespace zel::sim
