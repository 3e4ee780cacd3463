#include "bridge/automation_bridge.h"

#include "platform/clock.h"
#include "platform/instance_paths.h"
#include "platform/sync.h"

namespace zel::bridge {

namespace {

BridgeOptions WithPolicyLimits(BridgeOptions o) {
  o.sessions.max_sessions_per_identity = o.policy.sessions_per_identity;
  if (o.token_store_path.empty()) o.token_store_path = InstancePath(kTokenFileName);
  return o;
}

}  // namespace

AutomationBridge::AutomationBridge(BridgeOptions options)
    : options_(WithPolicyLimits(std::move(options))),
      sessions_(options_.sessions),
      tokens_(std::make_shared<TokenStore>(options_.token_store_path)),
      operations_(&sessions_, tokens_) {
  door_ = std::make_unique<FrontDoor>(options_.policy, tokens_, options_.logins);
  login_ = std::make_unique<LoginEndpoint>(options_.logins.get(), operations_.backoff(),
                                           &door_->policy());
  if (options_.listen_unix && options_.unix_socket_path.empty()) {
    options_.unix_socket_path = InstancePath(kSocketFileName);
    in_instance_dir_ = true;
  }
  if (!options_.listen_unix) options_.unix_socket_path.clear();
}

AutomationBridge::~AutomationBridge() { Stop(); }

HRESULT AutomationBridge::Start() {
  if (front_end_) return S_FALSE;
  if (in_instance_dir_) ZEL_TRY(EnsureInstanceDir());
  pool_ = std::make_unique<WorkerPool>(options_.worker_threads, options_.max_queued_requests);
  FrontEndOptions fe;
  fe.unix_socket_path = options_.unix_socket_path;
  fe.tcp_port = options_.tcp_port;
  fe.max_body_bytes = options_.max_body_bytes;
  fe.connection_timeout_seconds = options_.connection_timeout_seconds;
  fe.max_connections = options_.max_connections;
  fe.heartbeat = options_.heartbeat;
  fe.header_timeout = options_.header_timeout;
  fe.connections_per_peer = options_.policy.connections_per_peer;
  fe.door = door_.get();
  fe.login = login_.get();
  if (!options_.web_folder.empty()) {
    web_ = std::make_unique<WebFolder>(options_.web_folder);
    fe.web = web_.get();
  }
  front_end_ = std::make_unique<HttpFrontEnd>(fe, &operations_, &sessions_, pool_.get());
  HRESULT hr = front_end_->Start();
  if (Failed(hr)) {
    front_end_.reset();
    pool_.reset();
    return hr;
  }
  door_->set_tcp_port(front_end_->tcp_port());
  {
    MutexLock g(&mu_);
    stop_ = false;
  }
  housekeeper_ = std::thread([this] { Housekeeping(); });
  return S_OK;
}

void AutomationBridge::Stop() {
  if (!front_end_) return;
  {
    MutexLock g(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  if (housekeeper_.joinable()) housekeeper_.join();
  front_end_->BeginStop();
  pool_->Stop();
  // Ending the sessions closes their queues, which ends their streams at the next write.
  sessions_.CloseAll();
  front_end_->FinishStop();
  front_end_.reset();
  pool_.reset();
}

void AutomationBridge::Housekeeping() {
  MutexLock g(&mu_);
  for (;;) {
    auto deadline = std::chrono::steady_clock::now() + options_.housekeeping_interval;
    while (!stop_ && cv_.WaitUntil(&mu_, deadline)) {
    }
    if (stop_) return;
    g.Unlock();
    sessions_.ExpireIdle(Clock::Get()->Now());
    front_end_->Tick();
    housekeeping_passes_.fetch_add(1);
    g.Lock();
  }
}

}  // namespace zel::bridge
