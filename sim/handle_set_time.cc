// Set time (type 0x10): year - 2000, month, day, day of week (1 Monday .. 7 Sunday), hour,
// minute, daylight saving. The controller records it, runs its clock from it and acknowledges;
// a frame of another size is refused.
#include <chrono>

#include "sim/civil_time.h"
#include "sim/handlers.h"

namespace zel::sim {

void HandleSetTime(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 7) {
    reply->frame = NakFrame();
    return;
  }
  const uint8_t* d = request.data();
  SetTimeRecord r{d[0], d[1], d[2], d[3], d[4], d[5], d[6]};
  state.set_times.push_back(r);
  std::tm t{};
  t.tm_year = 100 + r.year;
  t.tm_mon = r.month - 1;
  t.tm_mday = r.day;
  t.tm_hour = r.hour;
  t.tm_min = r.minute;
  // The clock runs from the minute set (arithmetic normalises an impossible date as it can).
  state.clock_set =
      ClockSetting{CivilSeconds(t), r.daylight_saving != 0, std::chrono::steady_clock::now()};
  reply->frame = AckFrame();
}

}  // namespace zel::sim
