#include "service/front_end_launch.h"

#include <cstdlib>

#include "platform/program_launch.h"

namespace zel {

namespace {

bool HasDesktop() {
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(var);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

std::string_view FrontEndPage(HostSwitch action) {
  switch (action) {
    case HostSwitch::kLaunchWeb:
      return "/Portico/";
    case HostSwitch::kLaunchRegistration:
      return "/Portico/register.asp";
    case HostSwitch::kLaunchHelp:
      return "/Portico/help.htm";
    default:
      return {};
  }
}

std::string FrontEndAddress(std::string_view page, int tcp_port) {
  return "http://127.0.0.1:" + std::to_string(tcp_port) + std::string(page);
}

HRESULT OpenAddress(const std::string& address, std::FILE* out) {
  if (HasDesktop() && !FindProgram("xdg-open").empty()) {
    ProgramResult result;
    ZEL_TRY(RunProgram({"xdg-open", address}, &result));
    return result.exit_status == 0 ? S_OK : E_FAIL;
  }
  std::fprintf(out, "Open %s in a web browser.\n", address.c_str());
  return S_OK;
}

}  // namespace zel
