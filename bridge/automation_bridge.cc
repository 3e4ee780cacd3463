#include "bridge/automation_bridge.h"

#include "platform/clock.h"
#include "platform/instance_paths.h"

namespace zel::bridge {

namespace {

BridgeOptions WithPolicyLimits(BridgeOptions o) {
  o.sessions.max_sessions_per_identity = o.policy.sessions_per_identity;
  return o;
}

}  // namespace

AutomationBridge::AutomationBridge(BridgeOptions options)
    : options_(WithPolicyLimits(std::move(options))),
      sessions_(options_.sessions),
      operations_(&sessions_) {
  if (options_.token_store_path.empty()) options_.token_store_path = InstancePath(kTokenFileName);
  door_ = std::make_unique<FrontDoor>(options_.policy,
                                      std::make_shared<TokenStore>(options_.token_store_path));
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
  front_end_ = std::make_unique<HttpFrontEnd>(fe, &operations_, &sessions_, pool_.get());
  HRESULT hr = front_end_->Start();
  if (Failed(hr)) {
    front_end_.reset();
    pool_.reset();
    return hr;
  }
  door_->set_tcp_port(front_end_->tcp_port());
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = false;
  }
  housekeeper_ = std::thread([this] { Housekeeping(); });
  return S_OK;
}

void AutomationBridge::Stop() {
  if (!front_end_) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
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
  std::unique_lock<std::mutex> g(mu_);
  while (!cv_.wait_for(g, options_.housekeeping_interval, [&] { return stop_; })) {
    g.unlock();
    sessions_.ExpireIdle(Clock::Get()->Now());
    front_end_->Tick();
    g.lock();
  }
}

}  // namespace zel::bridge
