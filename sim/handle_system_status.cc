// System status (type 0x13, no data): answered with type 0x14 and the model's reply length:
// date valid, two-digit year, month, day, day of week (1 Monday .. 7 Sunday), hour, minute,
// second, daylight saving, sunrise hour and minute, sunset hour and minute, battery, then one
// mode byte per area.
#include <chrono>

#include "sim/civil_time.h"
#include "sim/controller_model.h"
#include "sim/handlers.h"

namespace zel::sim {
namespace {

// The controller's clock: the scenario's fixed time, or the time the server set running on, or
// the host's local time.
std::tm ControllerClock(const SimState& state) {
  const StatusScenario& st = state.scenario.status;
  if (st.time) return *st.time;
  if (state.clock_set) {
    auto elapsed = std::chrono::steady_clock::now() - state.clock_set->set_at;
    std::tm t = CivilFromSeconds(state.clock_set->civil_seconds +
                                 std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    t.tm_isdst = state.clock_set->daylight_saving ? 1 : 0;
    return t;
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

void HandleSystemStatus(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  const StatusScenario& st = state.scenario.status;
  std::tm t = ControllerClock(state);
  bool dst = st.daylight_saving.value_or(t.tm_isdst > 0);
  Bytes data = {
      static_cast<uint8_t>(st.date_valid ? 1 : 0),
      static_cast<uint8_t>((t.tm_year + 1900) % 100),
      static_cast<uint8_t>(t.tm_mon + 1),
      static_cast<uint8_t>(t.tm_mday),
      static_cast<uint8_t>(t.tm_wday == 0 ? 7 : t.tm_wday),
      static_cast<uint8_t>(t.tm_hour),
      static_cast<uint8_t>(t.tm_min),
      static_cast<uint8_t>(t.tm_sec),
      static_cast<uint8_t>(dst ? 1 : 0),
      static_cast<uint8_t>(st.sunrise_hour),
      static_cast<uint8_t>(st.sunrise_minute),
      static_cast<uint8_t>(st.sunset_hour),
      static_cast<uint8_t>(st.sunset_minute),
      static_cast<uint8_t>(st.battery),
  };
  // The rest of the model's reply: area modes in area order, zero past the scenario's areas.
  size_t length = StatusReplyLength(ModelIndexOfCode(state.scenario.model));
  for (size_t i = 0; data.size() + 1 < length; ++i) {
    data.push_back(i < st.area_modes.size() ? st.area_modes[i] : 0);
  }
  reply->frame = MakeFrame(kSystemStatusReply, data);
}

}  // namespace zel::sim
