#include "service/daemon.h"

#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bridge/automation_bridge.h"
#include "bridge/security_log.h"
#include "events/event_log.h"
#include "events/system_events.h"
#include "link/comm_handlers.h"
#include "link/link_classes.h"
#include "link/link_health.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/error_info.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "platform/sync.h"
#include "platform/system_log.h"
#include "server/interfaces.h"
#include "server/server_log.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"
#include "service/file_modes.h"
#include "service/registration.h"
#include "service/server_logins.h"
#include "service/sleep_inhibitor.h"
#include "service/watchdog.h"
#include "utils/utils_registration.h"

namespace zel {
namespace {

// Event-log message ids of the host (the started and stopped reports are informational).
constexpr uint32_t kMsgServiceStopped = 0x00020065;
// How long the bridge's housekeeping may stand still (it moves once a second) before the
// watchdog stops vouching for the daemon.
constexpr Millis kBridgeStallLimit{10000};
// Server-log texts of the host.
constexpr const char* kLogSource = "ZelCommSrv";
constexpr const char* kLogCategory = "Server";

void Say(const char* what, HRESULT hr) {
  std::fprintf(stderr, "zelcommsrv: %s: %s (%s)\n", what, StatusHex(hr).c_str(),
               MessageText(static_cast<uint32_t>(hr)).c_str());
}

int WaitForStopSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  for (;;) {
    int sig = sigwaitinfo(&set, nullptr);
    if (sig > 0) return sig;
  }
}

}  // namespace

bool StartedByServiceManager() {
  for (const char* var : {"NOTIFY_SOCKET", "INVOCATION_ID"}) {
    const char* value = std::getenv(var);
    if (value && *value) return true;
  }
  return false;
}

struct StopRunner::State {
  ManualResetEvent done;
};

StopRunner::StopRunner(std::function<void()> work) : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_, work = std::move(work)] {
    work();
    state->done.Set();
  });
}

StopRunner::~StopRunner() {
  if (!thread_.joinable()) return;
  if (state_->done.IsSet()) {
    thread_.join();
  } else {
    thread_.detach();  // the process ends without it
  }
}

bool StopRunner::WaitFor(Millis limit) { return state_->done.WaitFor(limit); }

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A client that goes away mid-write must not kill the daemon.
  signal(SIGPIPE, SIG_IGN);
}

int RunDaemon(const DaemonOptions& options) {
  // Success-type reports (started, stopped) go to the system log only in service mode; errors
  // always.
  const bool service_mode = StartedByServiceManager();
  // Everything the daemon creates is its own: the files holding codes, tokens and settings 0600
  // (the bridge's socket sets its own 0660).
  umask(077);
  if (!options.instance_dir.empty()) SetInstanceDir(options.instance_dir);
  if (HRESULT hr = EnsureInstanceDir(); Failed(hr)) {
    Say(("cannot create the instance directory " + InstanceDir()).c_str(), hr);
    return 1;
  }

  // Without the text catalogue nothing can be reported in words: report the code and end.
  std::string catalog, catalog_error;
  if (HRESULT hr = LoadProcessResources(&catalog, &catalog_error); Failed(hr)) {
    ReportEvent(MSG_RESOURCES_MISSING, hr, catalog_error);
    Say(("cannot load the text catalogue " + catalog + " " + catalog_error).c_str(), hr);
    return static_cast<int>(hr & 0xFFFF);
  }
  // Server-log entries (start, stop, failures) go to SRVRLOG.XML from here on.
  InstallServerLogFile();

  // Who may use the bridge. A policy that cannot be read is never guessed at.
  bridge::AccessPolicy policy;
  std::string policy_error;
  if (HRESULT hr =
          bridge::LoadAccessPolicy(InstancePath(bridge::kPolicyFileName), &policy, &policy_error);
      Failed(hr)) {
    Say(("cannot use the access policy: " + policy_error).c_str(), hr);
    return 1;
  }
  (void)TightenPrivateFiles(InstanceDir());

  if (options.link_down_after_ms > 0) {
    LinkHealth::Process().set_down_after(Millis(options.link_down_after_ms));
  }
  RegisterLinkClasses();
  // The transports enter the catalogue as installation would put them there (there is no
  // separate installation step); a registry that cannot be written leaves the catalogue as it
  // is, and the server still runs with its stored transport.
  (void)RegisterTransportEntries(RegKey::LocalMachine());
  RegisterServerClasses();
  RegisterModelClasses();
  RegisterEventLogClasses();
  RegisterSystemEventClasses();
  RegisterUtilsClasses();

  ComPtr<IZelServer> server;
  HRESULT hr = ClassRegistry::Instance().CreateByProgId(kProgIdZelServer, IZelServer::kIid,
                                                        server.ReceiveVoid());
  if (Failed(hr)) {
    ReportEvent(MSG_SERVICE_FAILED, hr);
    WriteServerLog(kLogSource, kLogCategory, "Failed to create Portico service.", hr);
    Say("cannot create the server object", hr);
    return 1;
  }

  bridge::BridgeOptions bridge_options;
  bridge_options.unix_socket_path = options.socket_path;
  bridge_options.listen_unix = options.listen_unix;
  bool tcp = options.tcp == 1 || (options.tcp == -1 && policy.tcp_enabled);
  if (!tcp) {
    bridge_options.tcp_port = -1;
  } else if (options.tcp_port >= 0) {
    bridge_options.tcp_port = options.tcp_port;
  } else {
    bridge_options.tcp_port = policy.tcp_port >= 0 ? policy.tcp_port : bridge::kDefaultTcpPort;
  }
  bridge_options.policy = std::move(policy);
  // The page's folder: --web, else the one registration wrote, else the installed or source one.
  bridge_options.web_folder = options.web_dir;
  if (bridge_options.web_folder.empty()) {
    bridge_options.web_folder = RegisteredWebFolder(RegKey::LocalMachine());
  }
  if (bridge_options.web_folder.empty()) {
    bridge_options.web_folder = bridge::WebFolder::DefaultRoot();
  }
  // A person's login session is a credential on TCP (its cookie).
  auto logins = std::make_shared<ServerLogins>(ServerInstance());
  bridge_options.logins = logins;
  bridge::AutomationBridge bridge(bridge_options);
  if (HRESULT bhr = bridge.Start(); Failed(bhr)) {
    Say("cannot open the automation bridge", bhr);
    logins->Close();
    server = nullptr;
    ClassRegistry::Instance().ReleaseSingletons();
    return 1;
  }
  std::fprintf(stderr, "zelcommsrv: instance %s; bridge on %s%s%s\n", InstanceDir().c_str(),
               options.listen_unix ? bridge.unix_socket_path().c_str() : "(no socket)",
               bridge.tcp_port() ? " and 127.0.0.1:" : "",
               bridge.tcp_port() ? std::to_string(bridge.tcp_port()).c_str() : "");

  // Start runs beside the signal wait, so a stop during a long start is noticed; Stop waits
  // for it to end first, since the server expects Start and Stop from one thread at a time.
  auto start_server = [&] {
    HRESULT start = server->Start();
    if (Succeeded(start)) {
      if (service_mode) ReportEvent(MSG_SERVICE_STARTED, S_OK);
      WriteServerLog(kLogSource, kLogCategory, "Portico Service Started.", S_OK);
      sd_notify(0, "STATUS=The server started.");
      std::fprintf(stderr, "zelcommsrv: server started\n");
    } else {
      sd_notify(0, "STATUS=The server did not start; clients may reconfigure it.");
      // The platform's "server failed to start" code is reported as the transport's own.
      if (start == E_SERVER_START_FAILED) start = E_COMM_SERVER_START_FAILED;
      ReportEvent(MSG_SERVICE_FAILED, start);
      WriteServerLog(kLogSource, kLogCategory, "Failed to start Portico Service.", start);
      Say("the server did not start; clients may reconfigure it and start it again", start);
    }
    ClearErrorInfo();
  };
  std::thread starter([&] {
    if (options.start_server) start_server();
  });
  // Ready once the classes are registered and clients can reach them, whether or not Start
  // succeeds (it may still be running): a failed start is for clients to mend.
  sd_notify(0, "READY=1");

  // Keep-alives only while the bridge's housekeeping moves and the server answers its Status
  // through its dispatch table, as a client would ask it.
  std::unique_ptr<Watchdog> watchdog;
  if (Millis period = Watchdog::PeriodFromEnvironment(); period.count() > 0) {
    watchdog = std::make_unique<Watchdog>(
        period,
        [&server, &bridge, progress = ProgressCheck(kBridgeStallLimit)]() mutable {
          Variant status;
          return Succeeded(GetProperty(server.get(), "Status", &status)) &&
                 progress.Alive(bridge.housekeeping_passes());
        },
        [] { sd_notify(0, "WATCHDOG=1"); });
    watchdog->Start();
  }

  // The power events of a service: the server stops before a suspend and starts after the
  // resume (the server serialises its own Start and Stop).
  std::unique_ptr<SleepInhibitor> inhibitor;
  if (service_mode) {
    inhibitor = std::make_unique<SleepInhibitor>([&] { (void)server->Stop(); }, start_server);
    if (inhibitor->Start() != S_OK) inhibitor.reset();
  }

  int sig = WaitForStopSignal();
  std::fprintf(stderr, "zelcommsrv: signal %d, stopping\n", sig);
  // The watchdog guards the running service; the stop has its own limit (kStopLimit here and
  // the unit's TimeoutStopSec).
  if (watchdog) watchdog->Stop();
  if (inhibitor) inhibitor->Stop();
  sd_notify(0, "STOPPING=1");
  HRESULT stop = E_FAIL;
  bool stopped = false;
  {
    // The link's waits are cut before anything waits: a start still running (a download, a
    // controller that does not answer or trickles its reply) ends at once instead of holding
    // the stop behind it.
    if (ComPtr<CZelServer> running = ServerInstance()) running->CutLinkWaits();
    StopRunner runner([&] {
      starter.join();
      stop = server->Stop();
    });
    stopped = runner.WaitFor(kStopLimit);
    if (!stopped) {
      // A start or stop that cannot take the link's request lock: the objects it uses cannot be
      // torn down under it, so the process ends here, without the logout.
      ReportEvent(MSG_STOP_LINK_HELD, E_TIMEOUT,
                  "waited " + std::to_string(kStopLimit.count() / 1000) + " s");
      std::fprintf(stderr,
                   "zelcommsrv: stop did not finish within %lld s (the controller link is held); "
                   "ending without logging out\n",
                   static_cast<long long>(kStopLimit.count() / 1000));
      std::fflush(nullptr);
      std::_Exit(3);
    }
  }
  if (service_mode) ReportEvent(kMsgServiceStopped, stop);
  WriteServerLog(kLogSource, kLogCategory, "Portico Service Stopped.", stop);
  bridge.Stop();
  logins->Close();
  server = nullptr;
  ClassRegistry::Instance().ReleaseSingletons();
  // A clean stop ends the process with 0 whatever Start and Stop returned (a server that never
  // started has nothing to stop): the result is in the server log, and systemd must not mark
  // the unit failed for a stop it asked for.
  return 0;
}

}  // namespace zel
