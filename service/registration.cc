#include "service/registration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "link/comm_handlers.h"
#include "platform/file_system.h"
#include "platform/guid.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "platform/system_log.h"
#include "server/interfaces.h"
#include "service/unit_template.h"
#include "utils/server_extensions.h"

namespace zel {

namespace {

// The classes root is the "SOFTWARE\Classes" subtree of the one registry.
constexpr std::string_view kClassesRoot = "SOFTWARE\\Classes\\";
constexpr std::string_view kServerDescription = "Zel Communications Server";
constexpr std::string_view kProgIdVersioned = "Corvane.ZelServer.1";
constexpr std::string_view kAppIdDescription = "Portico Server";
constexpr std::string_view kServiceParameters = "-Service";
constexpr uint32_t kAuthenticationNone = 1;
constexpr std::string_view kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZelCommSrv";
constexpr uint32_t kTypesErrorWarningInformation = 7;

std::string Classes(std::string_view key) { return std::string(kClassesRoot) + std::string(key); }
std::string ServerClsid() { return GuidToString(kClsidZelServer); }
// The application id is the server class's own id.
std::string AppId() { return ServerClsid(); }
std::string AppIdKey() { return Classes("AppID\\" + AppId()); }
std::string ProgramAppIdKey() { return Classes("AppID\\" + std::string(kProgramFileName)); }
std::string ClsidKey() { return Classes("CLSID\\" + ServerClsid()); }
std::string VirtualDirectoryKey() {
  return std::string(kWebDirectoriesKey) + "\\" + std::string(kVirtualDirectoryName);
}

HRESULT SetDefault(const RegKey& root, const std::string& path, std::string_view text) {
  RegKey key;
  ZEL_TRY(root.Create(path, &key));
  return key.SetString("", text);
}

// Deletes a key with its subtree; a key that is not there is no failure.
HRESULT DeleteIfPresent(const RegKey& root, const std::string& path) {
  HRESULT hr = root.DeleteTree(path);
  return hr == E_REG_NOT_FOUND ? S_OK : hr;
}

void Say(const RegistrationContext& c, const std::string& text) {
  if (c.say) {
    c.say(text);
  } else {
    std::fprintf(stderr, "zelcommsrv: %s\n", text.c_str());
  }
}

HRESULT Run(const RegistrationContext& c, const std::vector<std::string>& argv,
            std::string* output = nullptr) {
  ProgramResult result;
  HRESULT hr = c.run ? c.run(argv, &result) : RunProgram(argv, &result, true);
  if (Failed(hr)) return hr;
  if (output) *output = result.output;
  if (result.exit_status != 0) {
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
    Say(c,
        line + " ended with status " + std::to_string(result.exit_status) + ": " + result.output);
    return E_FAIL;
  }
  return S_OK;
}

bool Live(const RegistrationContext& c) { return c.root.empty(); }
bool ManageSystemd(const RegistrationContext& c) { return Live(c) && c.systemd_running; }

// The text catalogue the event source names: where the registry's Resources key points, else
// the program's share folder.
std::string CatalogPath(const RegistrationContext& c, const RegKey& root) {
  RegKey key;
  std::string dir;
  if (Succeeded(root.Open(kResourcesKey, &key)) &&
      Succeeded(key.QueryString(kResourcesValue, &dir)) && !dir.empty()) {
    if (dir.back() != '/') dir.push_back('/');
    return dir + std::string(kResourceLibraryName);
  }
  return c.share_dir + "/" + std::string(kResourceLibraryName);
}

// ---- The service -------------------------------------------------------------------------

HRESULT UninstallService(const RegistrationContext& c) {
  std::error_code ec;
  if (!std::filesystem::exists(c.UnitPath(), ec)) return S_FALSE;  // not installed
  // Stop it (systemd waits up to the unit's TimeoutStopSec) and disable it; a failure here
  // does not keep the unit file.
  HRESULT stopped =
      ManageSystemd(c) ? Run(c, {"systemctl", "disable", "--now", std::string(kUnitName)}) : S_OK;
  if (::unlink(c.UnitPath().c_str()) != 0 && errno != ENOENT) return HresultFromErrno(errno);
  if (ManageSystemd(c)) (void)Run(c, {"systemctl", "daemon-reload"});
  return stopped;
}

HRESULT InstallService(const RegistrationContext& c) {
  ZEL_TRY(MakeDirectories(ParentDirectory(c.UnitPath()), 0755));
  ZEL_TRY(ReplaceFileAtomically(c.UnitPath(), ServiceUnitText(c.program), 0644));
  if (!ManageSystemd(c)) return S_OK;
  ZEL_TRY(Run(c, {"systemctl", "daemon-reload"}));
  return Run(c, {"systemctl", "enable", std::string(kUnitName)});
}

// ---- Registry scripts --------------------------------------------------------------------

HRESULT RegisterAppId(const RegistrationContext& c, const RegKey& root) {
  // Force-removed: rewritten whole, so an old LaunchPermission goes with it.
  ZEL_TRY(DeleteIfPresent(root, AppIdKey()));
  RegKey app;
  ZEL_TRY(root.Create(AppIdKey(), &app));
  ZEL_TRY(app.SetString("", kAppIdDescription));
  ZEL_TRY(app.SetDword("AuthenticationLevel", kAuthenticationNone));
  ZEL_TRY(app.SetString("LocalService", kServiceName));
  ZEL_TRY(app.SetString("ServiceParameters", kServiceParameters));
  RegKey program;
  ZEL_TRY(root.Create(ProgramAppIdKey(), &program));
  ZEL_TRY(program.SetString("AppID", AppId()));
  RegKey source;
  ZEL_TRY(root.Create(kEventSourceKey, &source));
  ZEL_TRY(source.SetString("EventMessageFile", CatalogPath(c, root)));
  return source.SetDword("TypesSupported", kTypesErrorWarningInformation);
}

HRESULT UnregisterAppId(const RegKey& root) {
  HRESULT hr = DeleteIfPresent(root, AppIdKey());
  HRESULT hr2 = DeleteIfPresent(root, ProgramAppIdKey());
  HRESULT hr3 = DeleteIfPresent(root, std::string(kEventSourceKey));
  return Failed(hr) ? hr : Failed(hr2) ? hr2 : hr3;
}

HRESULT RegisterServerClass(const RegKey& root) {
  const std::string prog_id(kProgIdZelServer);
  ZEL_TRY(SetDefault(root, Classes(prog_id), kServerDescription));
  ZEL_TRY(SetDefault(root, Classes(prog_id + "\\CLSID"), ServerClsid()));
  ZEL_TRY(SetDefault(root, Classes(prog_id + "\\CurVer"), kProgIdVersioned));
  ZEL_TRY(SetDefault(root, Classes(std::string(kProgIdVersioned)), kServerDescription));
  ZEL_TRY(SetDefault(root, Classes(std::string(kProgIdVersioned) + "\\CLSID"), ServerClsid()));
  ZEL_TRY(DeleteIfPresent(root, ClsidKey()));  // force-removed
  RegKey clsid;
  ZEL_TRY(root.Create(ClsidKey(), &clsid));
  ZEL_TRY(clsid.SetString("", kServerDescription));
  ZEL_TRY(clsid.SetString("AppID", AppId()));
  ZEL_TRY(SetDefault(root, ClsidKey() + "\\ProgID", kProgIdVersioned));
  ZEL_TRY(SetDefault(root, ClsidKey() + "\\VersionIndependentProgID", kProgIdZelServer));
  // The bare file name, no path.
  return SetDefault(root, ClsidKey() + "\\LocalServer32", kProgramFileName);
}

HRESULT UnregisterServerClass(const RegKey& root) {
  HRESULT result = S_OK;
  for (const std::string& key : {Classes(std::string(kProgIdZelServer)),
                                 Classes(std::string(kProgIdVersioned)), ClsidKey()}) {
    HRESULT hr = DeleteIfPresent(root, key);
    if (Failed(hr) && Succeeded(result)) result = hr;
  }
  return result;
}

// ---- The web front end --------------------------------------------------------------------

HRESULT RemoveVirtualDirectory(const RegKey& root) {
  return DeleteIfPresent(root, VirtualDirectoryKey());
}

HRESULT PrepareWebFrontEnd(const RegistrationContext& c, const RegKey& root) {
  std::error_code ec;
  if (!std::filesystem::is_directory(c.root + c.WebFolder(), ec)) {
    Say(c, "no web front end in " + c.WebFolder() + ": nothing to serve under /Portico/");
    return S_OK;
  }
  (void)RemoveVirtualDirectory(root);
  RegKey dir;
  ZEL_TRY(root.Create(VirtualDirectoryKey(), &dir));
  ZEL_TRY(dir.SetString("Path", c.WebFolder()));
  return dir.SetDword("AccessFlags", kVirtualDirectoryAccess);
}

}  // namespace

std::string RegisteredWebFolder(const RegKey& root) {
  RegKey dir;
  std::string path;
  std::error_code ec;
  if (Failed(root.Open(VirtualDirectoryKey(), &dir)) || Failed(dir.QueryString("Path", &path)) ||
      !std::filesystem::is_directory(path, ec)) {
    return {};
  }
  return path;
}

namespace {

// ---- Launch permission -------------------------------------------------------------------

HRESULT GrantLaunchPermission(const RegistrationContext& c, const RegKey& root) {
  const std::string user(kServiceUser);
  std::vector<std::string> argv = {"systemd-sysusers"};
  if (!Live(c)) argv.push_back("--root=" + c.root);
  argv.push_back("--inline");
  argv.push_back("u " + user + " - \"Zel communications server\" " + c.instance_dir);
  argv.push_back("m " + user + " dialout");
  ZEL_TRY(Run(c, argv));
  RegKey app;
  ZEL_TRY(root.Open(AppIdKey(), &app));
  return app.SetString("LaunchPermission", user);
}

// ---- Both ----------------------------------------------------------------------------------

// Refuses, before anything changes, what would stop half-way.
HRESULT Preflight(const RegistrationContext& c, std::string_view what) {
  if (Live(c) && !c.privileged) {
    Say(c, std::string(what) +
               " changes the system (the unit, the service user, the registry): run it as root, "
               "or give --root DIR to write everything under DIR instead. Nothing was changed.");
    return HresultFromWin32(kWin32AccessDenied);
  }
  std::string detail;
  if (HRESULT hr = ValidateRegistryFile(c.RegistryFile(), &detail); Failed(hr)) {
    Say(c, "the registry " + c.RegistryFile() + " cannot be read (" + detail +
               "). Nothing was changed.");
    return hr;
  }
  return S_OK;
}

void Report(const RegistrationContext& c, const char* step, HRESULT hr) {
  if (Failed(hr)) Say(c, std::string(step) + " failed: " + StatusHex(hr));
}

}  // namespace

RegistrationContext RegistrationContext::ForThisProcess(std::string root) {
  RegistrationContext c;
  if (root.empty()) {
    const char* env = std::getenv(std::string(kRootEnvVar).c_str());
    if (env) root = env;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  c.root = std::move(root);
  c.privileged = ::geteuid() == 0;
  std::error_code ec;
  c.systemd_running = std::filesystem::is_directory("/run/systemd/system", ec);
  c.program = ProgramPath();
  c.share_dir = ProgramShareDir();
  c.instance_dir = InstanceDir();
  return c;
}

std::string RegistrationContext::RegistryFile() const {
  return root + instance_dir + "/" + std::string(kRegistryFileName);
}

std::string RegistrationContext::UnitPath() const {
  return root + unit_dir + "/" + std::string(kUnitName);
}

std::string RegistrationContext::WebFolder() const { return share_dir + "/web"; }

std::string ServiceUnitText(std::string_view program) {
  std::string text(kServiceUnitTemplate);
  const std::string_view placeholder = "@ZEL_PROGRAM@";
  for (size_t pos = text.find(placeholder); pos != std::string::npos;
       pos = text.find(placeholder, pos + program.size())) {
    text.replace(pos, placeholder.size(), program);
  }
  return text;
}

HRESULT RegisterServer(const RegistrationContext& c) {
  ZEL_TRY(Preflight(c, "-RegServer"));
  ZEL_TRY(MakeDirectories(ParentDirectory(c.RegistryFile()), 0750));
  RegKey root = RegKey::Root(c.RegistryFile());

  Report(c, "stopping and removing the installed service", UninstallService(c));
  if (HRESULT hr = InstallService(c); Failed(hr)) {
    ReportEvent(MSG_SERVICE_FAILED, hr, c.UnitPath());
    Report(c, "installing the service", hr);
  }
  Report(c, "writing the application id and event source", RegisterAppId(c, root));
  Report(c, "writing the server class", RegisterServerClass(root));
  Report(c, "writing the transport catalogue", RegisterTransportEntries(root));
  // The extensions key, empty until an extension is listed; never removed.
  RegKey extensions;
  Report(c, "writing the server extensions key", root.Create(kServerExtensionsKey, &extensions));
  Report(c, "preparing the web front end", PrepareWebFrontEnd(c, root));
  HRESULT result = GrantLaunchPermission(c, root);
  Report(c, "creating the service user and group", result);
  if (Succeeded(result)) Say(c, "registered" + (Live(c) ? std::string() : " under " + c.root));
  return result;
}

HRESULT UnregisterServer(const RegistrationContext& c) {
  ZEL_TRY(Preflight(c, "-UnregServer"));
  RegKey root = RegKey::Root(c.RegistryFile());
  Report(c, "stopping and removing the service", UninstallService(c));
  Report(c, "removing the application id and event source", UnregisterAppId(root));
  Report(c, "removing the server class", UnregisterServerClass(root));
  Report(c, "removing the transport catalogue's entries", UnregisterTransportEntries(root));
  (void)RemoveVirtualDirectory(root);  // its result is not examined
  Say(c, "unregistered" + (Live(c) ? std::string() : " under " + c.root));
  return S_OK;
}

}  // namespace zel
