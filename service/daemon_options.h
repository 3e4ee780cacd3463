// Command-line options of the daemon zelcommsrv.
//
// Thread contract: parsed once in main before any thread starts.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace zel {

struct DaemonOptions {
  std::string instance_dir;  // "" : ZELCOMMSRV_HOME or the default state directory
  std::string socket_path;   // "" : zelbridge.sock in the instance directory
  std::string root_dir;      // "" : ZELCOMMSRV_ROOT, else the live system (registration only)
  int tcp = -1;              // -1: as access.json says (off without it); 0: off; 1: on
  int tcp_port = -2;         // -2: access.json's port, else the bridge's default port
  bool listen_unix = true;
  std::string web_dir;  // "" : the registered web folder, else the installed or source tree's web/
  bool start_server = true;    // false: wait for a client to call Start
  int link_down_after_ms = 0;  // 0: the link's default down time (LinkHealth)
  bool show_help = false;
  bool show_version = false;
};

// Parses argv[1..] (without the host switch, host_switches.h). Unknown long options ("--x") and
// bad values give E_INVALIDARG with *error set; other words are ignored.
HRESULT ParseDaemonOptions(const std::vector<std::string>& args, DaemonOptions* options,
                           std::string* error);

// The --help text.
std::string DaemonUsage();

}  // namespace zel
