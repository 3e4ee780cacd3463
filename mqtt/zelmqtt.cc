#include "mqtt/zelmqtt.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <thread>

#include "bridge/automation_bridge.h"
#include "bridge/protocol.h"
#include "mqtt/commands.h"
#include "mqtt/event_relay.h"
#include "mqtt/installation_state.h"
#include "mqtt/mqtt_link.h"
#include "platform/instance_paths.h"

namespace zel::mqtt {
namespace {

std::atomic<bool> g_stop{false};

void OnStopSignal(int) { g_stop = true; }

// Waits for `seconds`, or less when asked to stop or when an event says something changed.
void Pause(int seconds, const std::atomic<bool>* stop, std::atomic<bool>* changed) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stop->load() && !changed->exchange(false) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

// Runs the commands that came from the broker and publishes their results.
void RunCommands(const MqttConfig& config, MqttLink* link, InstallationReader* reader) {
  const std::string result_topic = config.base_topic + "/result";
  for (const auto& [topic, payload] : link->TakeMessages()) {
    std::optional<Command> command = ParseCommand(config, topic, payload);
    if (!command) continue;
    bridge::Json result = {{"topic", topic}, {"action", command->action}};
    HRESULT hr = E_INVALIDARG;
    bridge::Json reply;
    if (command->member.empty()) {
      result["error"] = command->refusal;
    } else {
      static const std::map<std::string, const char*> kCollections = {
          {"area", "Areas"}, {"zone", "Zones"}, {"unit", "Units"}, {"button", "Buttons"}};
      hr = reader->CallOnElement(kCollections.at(command->kind), command->id, command->member,
                                 command->args, &reply);
      if (hr == DISP_E_BADINDEX) {
        result["error"] = "no " + command->kind + " " + std::to_string(command->id);
      } else if (Failed(hr) && reply.contains("error") && reply["error"].is_object()) {
        result["error"] = reply["error"].value("description", std::string());
      }
    }
    result["status"] = bridge::StatusText(hr);
    result["statusName"] = bridge::StatusNameOf(hr);
    (void)link->Publish(result_topic,
                        result.dump(-1, ' ', false, bridge::Json::error_handler_t::replace), false);
  }
}

int RunZelmqtt(const MqttConfig& config, const std::atomic<bool>* stop) {
  MqttLink link(config);
  std::atomic<bool> changed{false};
  link.set_on_message([&] { changed = true; });
  std::string error;
  if (Failed(link.Start(&error))) {
    std::fprintf(stderr, "zelmqtt: %s\n", error.c_str());
    return 1;
  }
  bridge::ClientOptions options;
  options.unix_socket_path =
      config.bridge_socket.empty() ? InstancePath(bridge::kSocketFileName) : config.bridge_socket;
  options.timeout_ms = 10000;
  InstallationReader reader(options);
  const std::string event_topic = config.base_topic + "/event";
  EventRelay relay(
      options, [&](const std::string& payload) { (void)link.Publish(event_topic, payload, false); },
      [&] { changed = true; });
  relay.Start();

  std::map<std::string, std::string> published;  // what the broker holds, by full topic
  std::string availability;                      // last published availability
  HRESULT last_read = S_OK;
  while (!stop->load()) {
    RunCommands(config, &link, &reader);
    std::map<std::string, std::string> states;
    HRESULT hr = reader.ReadAll(&states);
    if (Failed(hr) && hr != last_read) {
      std::fprintf(stderr, "zelmqtt: cannot read the server through %s: %08X\n",
                   options.unix_socket_path.c_str(), static_cast<unsigned>(hr));
    }
    last_read = hr;
    if (link.TakeReconnected()) {
      published.clear();
      availability.clear();
    }
    if (link.connected()) {
      if (Succeeded(hr)) {
        std::map<std::string, std::string> now;
        for (const auto& [topic, payload] : states) now[config.base_topic + "/" + topic] = payload;
        for (const auto& [topic, payload] : now) {
          auto it = published.find(topic);
          if ((it == published.end() || it->second != payload) &&
              link.Publish(topic, payload, true)) {
            published[topic] = payload;
          }
        }
        // States of elements that are gone are cleared.
        for (auto it = published.begin(); it != published.end();) {
          if (now.count(it->first) == 0 && link.Publish(it->first, "", true)) {
            it = published.erase(it);
          } else {
            ++it;
          }
        }
      }
      const std::string wanted = Succeeded(hr) ? "online" : "offline";
      if (wanted != availability && link.Publish(link.availability_topic(), wanted, true)) {
        availability = wanted;
      }
    }
    Pause(config.refresh_seconds, stop, &changed);
  }
  relay.Stop();
  link.Stop();
  return 0;
}

int ZelmqttMain(int argc, char** argv) {
  std::string path = kDefaultConfigPath;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--config" && i + 1 < argc) {
      path = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::printf(
          "usage: zelmqtt [--config PATH]\n"
          "Publishes the installation's states to an MQTT broker (default config %s).\n",
          kDefaultConfigPath);
      return 0;
    } else {
      std::fprintf(stderr, "zelmqtt: unknown argument \"%s\" (see --help)\n", argv[i]);
      return 2;
    }
  }
  MqttConfig config;
  std::string error;
  if (Failed(LoadMqttConfig(path, &config, &error))) {
    std::fprintf(stderr, "zelmqtt: %s\n", error.c_str());
    return 2;
  }
  signal(SIGTERM, OnStopSignal);
  signal(SIGINT, OnStopSignal);
  signal(SIGPIPE, SIG_IGN);
  return RunZelmqtt(config, &g_stop);
}

}  // namespace zel::mqtt
