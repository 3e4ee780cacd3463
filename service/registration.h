// Registration: what `zelcommsrv -RegServer` sets up and `-UnregServer` takes down again.
//
// Register, in order (each step's failure is reported and the later steps still run):
//   1. the service, if installed, is stopped, disabled and its unit removed;
//   2. the unit is written (ExecStart = this program) and, when systemd runs, enabled (not
//      started: it starts at the next boot or by hand); a failure is reported as 0xC0020066;
//   3. the application-id keys and the event source are written (force-removed keys are
//      deleted with their subtree first);
//   4. the server class's keys (programmatic identifiers, class id) and the transport
//      catalogue's two entries are written;
//   5. the web front end: when the share folder holds "web", its virtual directory "Portico" is
//      written, for the bridge to serve under /Portico/ (the web-server feature install and the
//      firewall openings have no counterpart here: the bridge is the web server and listens on
//      loopback only);
//   6. the launch permission: the system user and group "zelcommsrv" that the unit runs as
//      (systemd-sysusers; the group may use the bridge's socket, and serial lines through
//      dialout), recorded in the application id's LaunchPermission. Its result is the result.
// Unregister: the service (as in 1), the application-id keys and the event source, the class
// keys and the catalogue's two entries (the catalogue key stays), the virtual directory; the
// result is S_OK. The user and group stay, as Debian leaves system users in place.
//
// Both change the live system only as root; with a root directory (--root DIR or
// ZELCOMMSRV_ROOT) they write the registry file, the unit and the sysusers entries under that
// directory instead, touch no running systemd, and need no privileges. Before anything is
// changed, a caller without root on the live system, or a registry file that does not parse,
// fails with a clear message.
//
// Thread contract: called once from main, before any thread starts.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/program_launch.h"
#include "platform/settings_registry.h"
#include "platform/status.h"

namespace zel {

inline constexpr std::string_view kRootEnvVar = "ZELCOMMSRV_ROOT";
inline constexpr std::string_view kServiceName = "ZelCommSrv";
inline constexpr std::string_view kUnitName = "zelcommsrv.service";
inline constexpr std::string_view kServiceUser = "zelcommsrv";
inline constexpr std::string_view kProgramFileName = "zelcommsrv";
// The virtual directories the bridge serves: one subkey per directory with "Path" (REG_SZ) and
// "AccessFlags" (REG_DWORD, 513 = read and script).
inline constexpr std::string_view kWebDirectoriesKey = "SOFTWARE\\Tamsen\\Portico\\Web Directories";
inline constexpr std::string_view kVirtualDirectoryName = "Portico";
inline constexpr uint32_t kVirtualDirectoryAccess = 513;

struct RegistrationContext {
  // "" for the live system; else the directory every file path is taken under.
  std::string root;
  bool privileged = false;       // running as root
  bool systemd_running = false;  // the live system runs systemd (/run/systemd/system)
  std::string program;           // ExecStart's program
  std::string share_dir;         // the program's share folder, as the live system sees it
  std::string instance_dir;      // the instance directory, as the live system sees it
  std::string unit_dir = "/etc/systemd/system";
  // Runs a system tool (systemctl, systemd-sysusers) and waits for it; RunProgram by default.
  std::function<HRESULT(const std::vector<std::string>&, ProgramResult*)> run;
  // Where the steps' messages go.
  std::function<void(std::string_view)> say;

  // The context of this process: --root or the environment, geteuid, the program's paths.
  static RegistrationContext ForThisProcess(std::string root);

  std::string RegistryFile() const;  // under root
  std::string UnitPath() const;      // under root
  std::string WebFolder() const;     // as the live system sees it
};

HRESULT RegisterServer(const RegistrationContext& context);
HRESULT UnregisterServer(const RegistrationContext& context);

// The folder registration wrote as the Portico virtual directory's Path under `root`, when that
// is a directory; "" otherwise.
std::string RegisteredWebFolder(const RegKey& root);

// The unit's text with ExecStart naming `program`.
std::string ServiceUnitText(std::string_view program);

}  // namespace zel
