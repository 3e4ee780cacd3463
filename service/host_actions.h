// What the daemon does for a command-line switch (host_switches.h) instead of starting the
// server: register, unregister, or open a page of the web front end.
//
// Thread contract: called once from main, before any thread starts.
#pragma once

#include "platform/status.h"
#include "service/daemon_options.h"
#include "service/host_switches.h"

namespace zel {

// Runs the switch's action and returns its result.
HRESULT RunHostSwitch(HostSwitch action, const DaemonOptions& options);

// The process exit code for a result: 0 when it succeeded; the system error number when the
// code carries one that fits an exit status (1 to 255); otherwise 1.
int ExitCodeFor(HRESULT hr);

}  // namespace zel
