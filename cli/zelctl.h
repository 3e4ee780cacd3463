// zelctl: the command-line client of the automation bridge, for people and scripts.
//
//   zelctl status                             server status, model, version, phone, date, counts
//   zelctl get Zones.Item(3).CurrCondition    one value
//   zelctl put Thermostats.Item(1).HeatSetpointF 68
//   zelctl call Areas.Item(1).Arm 1234 3
//   zelctl list Zones                         a table of the elements and their main properties
//   zelctl watch                              the server's events as they arrive
//   zelctl events [--since INDEX]             the stored event log, oldest first
//   zelctl setup serial|network ...           first-run configuration (cli/setup.h)
//
// Output is for people by default; --json gives one JSON document per result (per event for
// watch). The exit status is 0 on success, 1 when the server answered with a failed status code,
// 2 for a usage error, 3 when the bridge cannot be reached, 4 when a reply of the bridge is not
// what the protocol says (not JSON, or without the members its kind carries).
//
// Thread contract: RunZelctl runs on the calling thread; `stop` (optional) may be set from a
// signal handler's flag to end watch.
#pragma once

#include <atomic>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailedStatus = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;
inline constexpr int kExitBadReply = 4;

// args excludes the program name.
int RunZelctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>* stop = nullptr);

// Human text of an automation date: "2023-03-15 18:00:00".
std::string DateText(double automation_date);

// One line of `zelctl watch` for an event of the bridge's stream: the event's time (its Time
// property, or received_at), the member, then its arguments; an event object's properties as
// Key=value (objects by name and handle, Code in hexadecimal):
//   2026-12-06 07:05:27 OnSystemZoneStatusChange Type=17 Code=0x0405 State=0 Zone=BACK DOOR (h3)
std::string EventLine(const nlohmann::json& event, const std::string& received_at);

}  // namespace zel::cli
