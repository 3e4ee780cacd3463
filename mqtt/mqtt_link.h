// MqttLink: zelmqtt's connection to the broker, on libmosquitto's own network thread.
//
// It connects in the background and reconnects after a loss with a growing pause (1 s doubling
// up to 30 s). Its availability topic ("<base>/status") is "online" (retained) while zelmqtt
// is connected and able to read the server, and the broker's last will sets it "offline" when
// zelmqtt goes away without saying so.
//
// Thread contract: Start, Stop, TakeReconnected and TakeMessages from the owner's thread; Publish
// and connected from any thread (the library's publish is thread-safe); the library's callbacks
// run on its network thread and touch the atomics and, under messages_mu_, messages_.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mqtt/mqtt_config.h"
#include "platform/status.h"
#include "platform/sync.h"

struct mosquitto;
struct mosquitto_message;

namespace zel::mqtt {

class MqttLink {
 public:
  explicit MqttLink(const MqttConfig& config);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // Starts connecting (the network thread keeps trying until Stop). E_INVALIDARG for settings
  // the library refuses (a TLS file that cannot be read).
  HRESULT Start(std::string* error);
  // Publishes "offline" on the availability topic and disconnects.
  void Stop();

  // Publishes at QoS 1; false when not connected (the caller publishes again after the next
  // connection).
  bool Publish(const std::string& topic, const std::string& payload, bool retain);
  bool connected() const { return connected_.load(); }
  // True once after each (re)connection: every retained state is to be published again.
  bool TakeReconnected() { return reconnected_.exchange(false); }
  // The messages received on the command topics ("<base>/+/+/set") and the platform's status
  // topic ("<discovery prefix>/status") since the last call, in order.
  std::vector<std::pair<std::string, std::string>> TakeMessages();
  // Called (on the network thread) after a message was queued.
  void set_on_message(std::function<void()> f) { on_message_ = std::move(f); }

  const std::string& availability_topic() const { return availability_; }

 private:
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  static void OnPublish(mosquitto* m, void* self, int mid);
  static void OnMessage(mosquitto* m, void* self, const struct mosquitto_message* message);

  const MqttConfig config_;
  const std::string availability_;
  mosquitto* m_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> reconnected_{false};
  std::atomic<int> last_acknowledged_{0};  // message id of the last publish the broker took
  std::function<void()> on_message_;       // set before Start
  Mutex messages_mu_;
  std::vector<std::pair<std::string, std::string>> messages_ ZEL_GUARDED_BY(messages_mu_);
};

}  // namespace zel::mqtt
