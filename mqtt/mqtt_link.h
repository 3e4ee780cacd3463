// MqttLink: zelmqtt's connection to the broker, on libmosquitto's own network thread.
//
// It connects in the background and reconnects after a loss with a growing pause (1 s doubling
// up to 30 s). Its availability topic ("<base>/status") is "online" (retained) while zelmqtt
// is connected and able to read the server, and the broker's last will sets it "offline" when
// zelmqtt goes away without saying so.
//
// Thread contract: Start, Stop and TakeReconnected from the owner's thread; Publish and connected
// from any thread (the library's publish is thread-safe); the library's callbacks run on its
// network thread and touch only the atomics.
#pragma once

#include <atomic>
#include <string>

#include "mqtt/mqtt_config.h"
#include "platform/status.h"

struct mosquitto;

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

  const std::string& availability_topic() const { return availability_; }

 private:
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  static void OnPublish(mosquitto* m, void* self, int mid);

  const MqttConfig config_;
  const std::string availability_;
  mosquitto* m_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> reconnected_{false};
  std::atomic<int> last_acknowledged_{0};  // message id of the last publish the broker took
};

}  // namespace zel::mqtt
