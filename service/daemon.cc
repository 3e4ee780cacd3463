#include "service/daemon.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <thread>

#include "bridge/automation_bridge.h"
#include "events/event_log.h"
#include "events/system_events.h"
#include "link/link_classes.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/error_info.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "platform/system_log.h"
#include "server/interfaces.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// Event-log message ids of the host (the started and stopped reports are informational).
constexpr uint32_t kMsgServiceStopped = 0x00020065;
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

  RegisterLinkClasses();
  RegisterServerClasses();
  RegisterModelClasses();
  RegisterEventLogClasses();
  RegisterSystemEventClasses();

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
  if (options.tcp_port != -2) bridge_options.tcp_port = options.tcp_port;
  bridge::AutomationBridge bridge(bridge_options);
  if (HRESULT bhr = bridge.Start(); Failed(bhr)) {
    Say("cannot open the automation bridge", bhr);
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
  std::thread starter([&] {
    if (!options.start_server) return;
    HRESULT start = server->Start();
    if (Succeeded(start)) {
      WriteServerLog(kLogSource, kLogCategory, "Portico Service Started.", S_OK);
      std::fprintf(stderr, "zelcommsrv: server started\n");
    } else {
      // The platform's "server failed to start" code is reported as the transport's own.
      if (start == E_SERVER_START_FAILED) start = E_COMM_SERVER_START_FAILED;
      ReportEvent(MSG_SERVICE_FAILED, start);
      WriteServerLog(kLogSource, kLogCategory, "Failed to start Portico Service.", start);
      Say("the server did not start; clients may reconfigure it and start it again", start);
    }
    ClearErrorInfo();
  });
  sd_notify(0, "READY=1");

  int sig = WaitForStopSignal();
  std::fprintf(stderr, "zelcommsrv: signal %d, stopping\n", sig);
  sd_notify(0, "STOPPING=1");
  starter.join();
  HRESULT stop = server->Stop();
  ReportEvent(kMsgServiceStopped, stop);
  WriteServerLog(kLogSource, kLogCategory, "Portico Service Stopped.", stop);
  bridge.Stop();
  server = nullptr;
  ClassRegistry::Instance().ReleaseSingletons();
  return Succeeded(stop) ? 0 : 2;
}

}  // namespace zel
