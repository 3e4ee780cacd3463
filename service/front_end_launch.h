// The launch switches: open a page of the web front end, which the bridge serves under
// "/Portico/" on its loopback address.
//
// With a desktop session (DISPLAY or WAYLAND_DISPLAY set) and xdg-open installed, the page is
// opened with xdg-open and the launch waits for it to end; otherwise the address is printed for
// the user to open. The result is S_OK, or the system error as a status when xdg-open cannot
// be started, or E_FAIL when it reports a failure.
//
// Thread contract: called once from main, before any thread starts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "service/host_switches.h"

namespace zel {

// The page path of a launch switch: "/Portico/", "/Portico/register.asp" or "/Portico/help.htm";
// "" for the other switches.
std::string_view FrontEndPage(HostSwitch action);

// The page's address on the bridge's loopback listener. Left to us: the host part, which is
// 127.0.0.1 with the bridge's TCP port.
std::string FrontEndAddress(std::string_view page, int tcp_port);

// Opens `address` as described above; `out` receives the printed address when there is no
// desktop to open it on.
HRESULT OpenAddress(const std::string& address, std::FILE* out);

}  // namespace zel
