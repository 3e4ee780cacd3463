#include "service/host_actions.h"

#include <cstdio>

#include "bridge/access_policy.h"
#include "bridge/automation_bridge.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "service/front_end_launch.h"
#include "service/registration.h"

namespace zel {

namespace {

// The bridge's loopback port as the daemon would choose it: --port, else access.json's, else
// the default. A policy that cannot be read gives the default here: the page is only opened.
int BridgePort(const DaemonOptions& options) {
  if (options.tcp_port >= 0) return options.tcp_port;
  bridge::AccessPolicy policy;
  std::string error;
  if (Succeeded(bridge::LoadAccessPolicy(InstancePath(bridge::kPolicyFileName), &policy, &error)) &&
      policy.tcp_port > 0) {
    return policy.tcp_port;
  }
  return bridge::kDefaultTcpPort;
}

}  // namespace

int ExitCodeFor(HRESULT hr) {
  if (Succeeded(hr)) return 0;
  uint32_t code = static_cast<uint32_t>(hr);
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    uint32_t error = code & 0xFFFFu;
    if (error >= 1 && error <= 255) return static_cast<int>(error);
  }
  return 1;
}

HRESULT RunHostSwitch(HostSwitch action, const DaemonOptions& options) {
  if (!options.instance_dir.empty()) SetInstanceDir(options.instance_dir);
  switch (action) {
    case HostSwitch::kLaunchWeb:
    case HostSwitch::kLaunchRegistration:
    case HostSwitch::kLaunchHelp:
      return OpenAddress(FrontEndAddress(FrontEndPage(action), BridgePort(options)), stdout);
    case HostSwitch::kRegServer:
    case HostSwitch::kUnregServer: {
      // The texts of the reports; without the catalogue they still carry their ids and codes.
      std::string catalog;
      (void)LoadProcessResources(&catalog);
      RegistrationContext context = RegistrationContext::ForThisProcess(options.root_dir);
      return action == HostSwitch::kRegServer ? RegisterServer(context) : UnregisterServer(context);
    }
    case HostSwitch::kNone:
      break;
  }
  return S_OK;
}

}  // namespace zel
