#include "mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <unistd.h>

#include <mutex>
#include <utility>

namespace zel::mqtt {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kQos = 1;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttLink::MqttLink(const MqttConfig& config)
    : config_(config), availability_(config.base_topic + "/status") {
  InitLibrary();
}

MqttLink::~MqttLink() {
  Stop();
  if (m_ != nullptr) mosquitto_destroy(m_);
}

HRESULT MqttLink::Start(std::string* error) {
  std::string id = "zelmqtt-" + std::to_string(getpid());
  m_ = mosquitto_new(id.c_str(), /*clean_session=*/true, this);
  if (m_ == nullptr) return E_OUTOFMEMORY;
  mosquitto_connect_callback_set(m_, &MqttLink::OnConnect);
  mosquitto_disconnect_callback_set(m_, &MqttLink::OnDisconnect);
  mosquitto_publish_callback_set(m_, &MqttLink::OnPublish);
  mosquitto_message_callback_set(m_, &MqttLink::OnMessage);
  mosquitto_reconnect_delay_set(m_, 1, 30, /*exponential=*/true);
  if (!config_.broker_user.empty()) {
    mosquitto_username_pw_set(
        m_, config_.broker_user.c_str(),
        config_.broker_password.empty() ? nullptr : config_.broker_password.c_str());
  }
  if (!config_.broker_tls_ca.empty() &&
      mosquitto_tls_set(m_, config_.broker_tls_ca.c_str(), nullptr, nullptr, nullptr, nullptr) !=
          MOSQ_ERR_SUCCESS) {
    *error = "cannot use the broker's CA file " + config_.broker_tls_ca;
    return E_INVALIDARG;
  }
  static const char kOffline[] = "offline";
  mosquitto_will_set(m_, availability_.c_str(), sizeof kOffline - 1, kOffline, kQos,
                     /*retain=*/true);
  // A broker that is not there yet is no error: the network thread keeps trying.
  (void)mosquitto_connect_async(m_, config_.broker_host.c_str(), config_.broker_port,
                                kKeepAliveSeconds);
  if (mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS) {
    *error = "cannot start the MQTT network thread";
    return E_FAIL;
  }
  return S_OK;
}

void MqttLink::Stop() {
  if (m_ == nullptr) return;
  if (connected_.load()) {
    // A clean disconnect cancels the last will: say "offline" first, and wait (briefly) until
    // the broker has it.
    int mid = 0;
    static const char kOffline[] = "offline";
    if (mosquitto_publish(m_, &mid, availability_.c_str(), sizeof kOffline - 1, kOffline, kQos,
                          true) == MOSQ_ERR_SUCCESS) {
      for (int i = 0; i < 200 && last_acknowledged_.load() != mid && connected_.load(); ++i) {
        usleep(10 * 1000);
      }
    }
    mosquitto_disconnect(m_);
  }
  mosquitto_loop_stop(m_, /*force=*/!connected_.load());
  connected_ = false;
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (m_ == nullptr || !connected_.load()) return false;
  return mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), kQos, retain) == MOSQ_ERR_SUCCESS;
}

void MqttLink::OnConnect(mosquitto* m, void* self, int rc) {
  auto* link = static_cast<MqttLink*>(self);
  if (rc != 0) return;  // refused (credentials): the library tries again
  const std::string commands = link->config_.base_topic + "/+/+/set";
  (void)mosquitto_subscribe(m, nullptr, commands.c_str(), kQos);
  // The home automation platform's own status: "online" when it (re)started and wants the
  // discovery configs again.
  const std::string platform = link->config_.discovery_prefix + "/status";
  (void)mosquitto_subscribe(m, nullptr, platform.c_str(), kQos);
  link->connected_ = true;
  link->reconnected_ = true;
}

void MqttLink::OnPublish(mosquitto* /*m*/, void* self, int mid) {
  static_cast<MqttLink*>(self)->last_acknowledged_ = mid;
}

void MqttLink::OnMessage(mosquitto* /*m*/, void* self, const mosquitto_message* message) {
  auto* link = static_cast<MqttLink*>(self);
  if (message == nullptr || message->topic == nullptr) return;
  std::string payload(static_cast<const char*>(message->payload),
                      message->payload != nullptr ? static_cast<size_t>(message->payloadlen) : 0);
  {
    MutexLock g(&link->messages_mu_);
    // A flood is not kept without bound: past this, the oldest commands are dropped.
    constexpr size_t kMaxQueued = 256;
    if (link->messages_.size() >= kMaxQueued) link->messages_.erase(link->messages_.begin());
    link->messages_.emplace_back(message->topic, std::move(payload));
  }
  if (link->on_message_) link->on_message_();
}

std::vector<std::pair<std::string, std::string>> MqttLink::TakeMessages() {
  MutexLock g(&messages_mu_);
  return std::exchange(messages_, {});
}

void MqttLink::OnDisconnect(mosquitto* /*m*/, void* self, int /*rc*/) {
  static_cast<MqttLink*>(self)->connected_ = false;
}

}  // namespace zel::mqtt
