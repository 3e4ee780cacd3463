// zelcommsrv: the communications server daemon.
#include <cstdio>

#include "service/daemon.h"
#include "service/host_actions.h"
#include "service/host_switches.h"

int main(int argc, char** argv) {
  // Before any thread exists, so every thread inherits the blocked stop signals.
  zel::BlockStopSignals();
  std::vector<std::string> args(argv + 1, argv + argc);
  // A host switch matches to the end of the line, so it is the last word; the words before it
  // are long options.
  zel::HostSwitch action = zel::ScanCommandLine(zel::JoinCommandLine(args));
  if (action != zel::HostSwitch::kNone) args.pop_back();
  zel::DaemonOptions options;
  std::string error;
  if (zel::Failed(zel::ParseDaemonOptions(args, &options, &error))) {
    std::fprintf(stderr, "zelcommsrv: %s\n", error.c_str());
    return 64;  // EX_USAGE
  }
  if (options.show_help) {
    std::fputs(zel::DaemonUsage().c_str(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("zelcommsrv %s\n", ZEL_PRODUCT_VERSION);
    return 0;
  }
  if (action != zel::HostSwitch::kNone) {
    zel::HRESULT hr = zel::RunHostSwitch(action, options);
    if (zel::Failed(hr)) {
      std::fprintf(stderr, "zelcommsrv: %s: %s\n", std::string(zel::HostSwitchName(action)).c_str(),
                   zel::StatusHex(hr).c_str());
    }
    return zel::ExitCodeFor(hr);
  }
  return zel::RunDaemon(options);
}
