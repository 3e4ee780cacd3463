// zelmqtt: publishes the installation to an MQTT broker, as a client of the automation bridge.
//
// Every refresh interval it reads all the states (installation_state.h), and at once after each
// event of the server those the event concerns (a zone event: zones and areas); it publishes,
// retained, those that changed since they were last published, and all of them again after each
// (re)connection to the broker. A state that no longer exists (an element removed) is cleared
// with an empty retained message. The availability topic says "online" while the last reading
// of the server succeeded and "offline" while the bridge cannot be read; the link topic says
// "online" while, besides, the server's link to the controller answers. While either is
// offline the areas' states are published without a state, so no "armed" stays retained while
// nobody can tell it. The discovery configs (discovery.h) follow the elements the same way and
// go out again when the platform says "online" on "<discovery prefix>/status".
//
// While the bridge cannot be reached (the daemon is restarting) it tries again after 1 s, then
// 2, 4, ... up to 30 s, and every state and config goes out again once it answers. The broker
// side reconnects the same way (mqtt_link.h) and republishes everything after each connection.
//
// The server's events go out as they come (event_relay.h), on a thread of their own.
//
// Thread contract: RunZelmqtt runs on the calling thread until *stop becomes true.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "mqtt/mqtt_config.h"

namespace zel::mqtt {

// True when the server's state (states["server"]) says the link to the controller answers: the
// server is interactive and its link is not down. Entities are unavailable otherwise.
bool LinkOnline(const std::map<std::string, std::string>& states);
// True when the server's state says it is interactive (Status 16); only then are its elements'
// states and configs published (a starting or stopping server shows its collections partly).
bool ServerInteractive(const std::map<std::string, std::string>& states);
// Empties state, mode and alarm of every area state in *states (full topics): what is retained
// while nobody can tell whether an area is armed.
void ForgetAreaStates(const MqttConfig& config, std::map<std::string, std::string>* states);

// Returns the process exit status: 0 after a stop, 1 when the broker settings are refused.
int RunZelmqtt(const MqttConfig& config, const std::atomic<bool>* stop);

// The command line: --config PATH (default kDefaultConfigPath), --help.
int ZelmqttMain(int argc, char** argv);

}  // namespace zel::mqtt
