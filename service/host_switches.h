// The host's command-line switches: registration, unregistration and the three launch switches
// that open pages of the web front end. They sit beside the daemon's long options
// (daemon_options.h) and are found the traditional way:
//
// The whole command line (the arguments joined by single spaces) is scanned for "-" and "/".
// The text after such a character, up to the end of the whole line, is compared ignoring
// ASCII case with each switch name, in table order; the first match decides. A text that
// matches nothing moves the scan on to the next "-" or "/". No match at all: a normal start.
// So "-RegServer", "/regserver" and "--REGSERVER" register, while "-RegServer now" (a further
// word after the name) matches nothing and starts the server.
//
// Thread contract: pure functions, any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

enum class HostSwitch {
  kNone,  // normal start
  kUnregServer,
  kRegServer,
  kLaunchWeb,
  kLaunchRegistration,
  kLaunchHelp,
};

struct HostSwitchEntry {
  std::string_view name;
  HostSwitch action;
};

// In scan order: UNREGSERVER before REGSERVER.
inline constexpr std::array<HostSwitchEntry, 5> kHostSwitches = {{
    {"UNREGSERVER", HostSwitch::kUnregServer},
    {"REGSERVER", HostSwitch::kRegServer},
    {"LaunchWeb", HostSwitch::kLaunchWeb},
    {"LaunchRegistration", HostSwitch::kLaunchRegistration},
    {"LaunchHelp", HostSwitch::kLaunchHelp},
}};

// The command line as one text: the arguments after the program name joined by single spaces.
std::string JoinCommandLine(const std::vector<std::string>& args);

// The switch the command line asks for, kNone when none.
HostSwitch ScanCommandLine(std::string_view command_line);

// The switch's name as the table spells it; "" for kNone.
std::string_view HostSwitchName(HostSwitch action);

}  // namespace zel
