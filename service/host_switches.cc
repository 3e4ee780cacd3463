#include "service/host_switches.h"

namespace zel {

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) {
    if (!line.empty()) line += ' ';
    line += a;
  }
  return line;
}

HostSwitch ScanCommandLine(std::string_view command_line) {
  for (size_t pos = command_line.find_first_of("-/"); pos != std::string_view::npos;
       pos = command_line.find_first_of("-/", pos + 1)) {
    std::string_view rest = command_line.substr(pos + 1);
    for (const HostSwitchEntry& entry : kHostSwitches) {
      if (EqualIgnoringCase(rest, entry.name)) return entry.action;
    }
  }
  return HostSwitch::kNone;
}

std::string_view HostSwitchName(HostSwitch action) {
  for (const HostSwitchEntry& entry : kHostSwitches) {
    if (entry.action == action) return entry.name;
  }
  return {};
}

}  // namespace zel
