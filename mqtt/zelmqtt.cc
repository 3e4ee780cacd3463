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
#include "mqtt/backoff.h"
#include "mqtt/commands.h"
#include "mqtt/discovery.h"
#include "mqtt/event_relay.h"
#include "mqtt/installation_state.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/retained_topics.h"
#include "platform/instance_paths.h"

namespace zel::mqtt {
namespace {

std::atomic<bool> g_stop{false};

void OnStopSignal(int) { g_stop = true; }

// The server's Status while it is logged in and polling.
constexpr int kInteractiveStatus = 16;

// Waits up to `seconds`, less when asked to stop or when something changed; returns the kinds
// of state to read next (StateKinds): those *wanted names, or all when the time is up.
unsigned Pause(int seconds, const std::atomic<bool>* stop, std::atomic<unsigned>* wanted) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stop->load() && std::chrono::steady_clock::now() < end) {
    if (unsigned kinds = wanted->exchange(0); kinds != 0) return kinds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return kAllStates;
}

}  // namespace

// Runs one command that came from the broker and publishes its result.
void RunCommand(const MqttConfig& config, MqttLink* link, InstallationReader* reader,
                const Command& command) {
  bridge::Json result = {{"topic", command.topic}, {"action", command.action}};
  HRESULT hr = E_INVALIDARG;
  bridge::Json reply;
  if (command.member.empty()) {
    result["error"] = command.refusal;
  } else {
    static const std::map<std::string, const char*> kCollections = {{"area", "Areas"},
                                                                    {"zone", "Zones"},
                                                                    {"unit", "Units"},
                                                                    {"button", "Buttons"},
                                                                    {"thermostat", "Thermostats"}};
    hr = reader->CallOnElement(kCollections.at(command.kind), command.id, command.member,
                               command.args, &reply, command.put ? &command.value : nullptr);
    if (hr == DISP_E_BADINDEX) {
      result["error"] = "no " + command.kind + " " + std::to_string(command.id);
    } else if (Failed(hr) && reply.contains("error") && reply["error"].is_object()) {
      result["error"] = reply["error"].value("description", std::string());
    }
  }
  result["status"] = bridge::StatusText(hr);
  result["statusName"] = bridge::StatusNameOf(hr);
  (void)link->Publish(config.base_topic + "/result",
                      result.dump(-1, ' ', false, bridge::Json::error_handler_t::replace), false);
}

bool ServerInteractive(const std::map<std::string, std::string>& states) {
  auto it = states.find("server");
  if (it == states.end()) return false;
  bridge::Json server = bridge::Json::parse(it->second, nullptr, /*allow_exceptions=*/false);
  return server.is_object() && server.value("status", 0) == kInteractiveStatus;
}

bool LinkOnline(const std::map<std::string, std::string>& states) {
  auto it = states.find("server");
  if (it == states.end()) return false;
  bridge::Json server = bridge::Json::parse(it->second, nullptr, /*allow_exceptions=*/false);
  if (!server.is_object()) return false;
  return ServerInteractive(states) && server.value("link", bridge::Json()) != "down";
}

// The area states of *states (by full topic) with no state, mode or alarm: what is retained
// while the truth is unknown.
void ForgetAreaStates(const MqttConfig& config, std::map<std::string, std::string>* states) {
  const std::string areas = config.base_topic + "/area/";
  for (auto& [topic, payload] : *states) {
    if (topic.rfind(areas, 0) != 0) continue;
    bridge::Json area = bridge::Json::parse(payload, nullptr, /*allow_exceptions=*/false);
    if (!area.is_object()) continue;
    area["state"] = nullptr;
    area["mode"] = nullptr;
    area["alarm"] = nullptr;
    payload = area.dump(-1, ' ', false, bridge::Json::error_handler_t::replace);
  }
}

int RunZelmqtt(const MqttConfig& config, const std::atomic<bool>* stop) {
  MqttLink link(config);
  std::atomic<unsigned> wanted{0};  // kinds of state an event or a command may have changed
  link.set_on_message([&] { wanted |= kAllStates; });
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
  const std::string platform_status = config.discovery_prefix + "/status";
  const std::string link_topic = config.base_topic + "/link";
  EventRelay relay(
      options, [&](const std::string& payload) { (void)link.Publish(event_topic, payload, false); },
      [&](const bridge::Json& event) { wanted |= StateKindsOfEvent(event); });
  relay.Start();

  auto publish = [&](const std::string& topic, const std::string& payload) {
    return link.Publish(topic, payload, true);
  };
  RetainedTopics states_held;                   // by full topic
  RetainedTopics configs_held;                  // discovery configs
  std::string availability, link_availability;  // last published
  HRESULT last_read = S_OK;
  Backoff backoff;  // between attempts to read the server while the bridge cannot be reached
  unsigned kinds = kAllStates;
  while (!stop->load()) {
    for (const auto& [topic, payload] : link.TakeMessages()) {
      if (topic == platform_status) {
        if (payload == "online") configs_held.Republish();
      } else if (std::optional<Command> command = ParseCommand(config, topic, payload)) {
        RunCommand(config, &link, &reader, *command);
      }
    }
    std::map<std::string, std::string> states;
    // After an event only what it concerns is read again (a zone change: the zones and areas);
    // everything at each refresh and after a failure.
    HRESULT hr = reader.Read(Failed(last_read) ? kAllStates : kinds, &states);
    if (Failed(hr) && hr != last_read) {
      std::fprintf(stderr, "zelmqtt: cannot read the server through %s: %08X\n",
                   options.unix_socket_path.c_str(), static_cast<unsigned>(hr));
    }
    if (Succeeded(hr) && Failed(last_read)) {
      // The server is back (the daemon restarted): everything is said again.
      states_held.Republish();
      configs_held.Republish();
    }
    last_read = hr;
    if (link.TakeReconnected()) {
      states_held.Republish();
      configs_held.Republish();
      availability.clear();
      link_availability.clear();
    }
    const bool link_online = Succeeded(hr) && LinkOnline(states);
    // A server that is not interactive (starting, stopping) may show its collections empty or
    // half-filled: its elements are not taken as gone then.
    const bool interactive = Succeeded(hr) && ServerInteractive(states);
    if (link.connected()) {
      if (interactive) {
        std::map<std::string, std::string> now;
        for (const auto& [topic, payload] : states) now[config.base_topic + "/" + topic] = payload;
        if (!link_online) ForgetAreaStates(config, &now);
        configs_held.Sync(DiscoveryConfigs(config, states), publish);
        states_held.Sync(now, publish);
      } else {
        // Nobody can tell the areas' states now: none stays retained as if it were known.
        // The rest stays as last published.
        std::map<std::string, std::string> now = states_held.held();
        ForgetAreaStates(config, &now);
        states_held.Sync(now, publish);
      }
      const std::string wanted = Succeeded(hr) ? "online" : "offline";
      if (wanted != availability && link.Publish(link.availability_topic(), wanted, true)) {
        availability = wanted;
      }
      const std::string wanted_link = link_online ? "online" : "offline";
      if (wanted_link != link_availability && link.Publish(link_topic, wanted_link, true)) {
        link_availability = wanted_link;
      }
    }
    if (Succeeded(hr)) backoff.Succeeded();
    kinds = Pause(Succeeded(hr) ? config.refresh_seconds : backoff.Failed(), stop, &wanted);
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
