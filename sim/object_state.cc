#include "sim/object_state.h"

#include <nlohmann/json.hpp>

namespace zel::sim {
namespace {

using json = nlohmann::json;

// A field of an object entry, when it is an integer within [0, max]; otherwise `fallback`.
int Field(const json& entry, const char* key, int max, int fallback) {
  auto it = entry.find(key);
  if (it == entry.end() || !it->is_number_integer()) return fallback;
  int v = it->get<int>();
  return v >= 0 && v <= max ? v : fallback;
}

// A boolean field of an object entry, or `fallback` when it is absent or not a boolean.
bool Flag(const json& entry, const char* key, bool fallback) {
  auto it = entry.find(key);
  return it != entry.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

// The entries of objects.<kind> with a number in 1..65535.
template <class Fn>
void ForEachObject(const json& document, const char* kind, Fn fn) {
  auto objects = document.find("objects");
  if (objects == document.end() || !objects->is_object()) return;
  auto list = objects->find(kind);
  if (list == objects->end() || !list->is_array()) return;
  for (const json& entry : *list) {
    if (!entry.is_object()) continue;
    int number = Field(entry, "number", 65535, 0);
    if (number > 0) fn(static_cast<uint16_t>(number), entry);
  }
}

// The named metadata fields of an audio source entry and their record codes.
constexpr std::pair<const char*, uint8_t> kMetadataFields[] = {
    {"metadata", 0},   {"song_title", 1}, {"artist", 2},         {"genre", 3},
    {"album_name", 4}, {"extra", 5},      {"channel_number", 6}, {"channel_name", 7}};

}  // namespace

ObjectStates& Objects(SimState& state) {
  ObjectStates& o = state.objects;
  if (o.loaded) return o;
  o.loaded = true;
  ForEachObject(state.scenario.document, "zones", [&](uint16_t number, const json& e) {
    o.zones[number] = SimZone{static_cast<uint8_t>(Field(e, "status", 255, 0)),
                              static_cast<uint8_t>(Field(e, "loop", 255, 0)),
                              static_cast<uint8_t>(Field(e, "area", 255, 1))};
  });
  ForEachObject(state.scenario.document, "units", [&](uint16_t number, const json& e) {
    o.units[number] = SimUnit{static_cast<uint8_t>(Field(e, "status", 255, 0)),
                              static_cast<uint16_t>(Field(e, "time_remaining", 65535, 0)),
                              static_cast<uint8_t>(Field(e, "area", 255, 1))};
  });
  ForEachObject(state.scenario.document, "thermostats", [&](uint16_t number, const json& e) {
    SimThermostat& t = o.thermostats[number];
    t.status = static_cast<uint8_t>(Field(e, "status", 255, 0));
    t.temperature = static_cast<uint8_t>(Field(e, "temperature", 255, 0));
    t.heat_setpoint = static_cast<uint8_t>(Field(e, "heat_setpoint", 255, 0));
    t.cool_setpoint = static_cast<uint8_t>(Field(e, "cool_setpoint", 255, 0));
    t.system_mode = static_cast<uint8_t>(Field(e, "system_mode", 255, 0));
    t.fan_mode = static_cast<uint8_t>(Field(e, "fan_mode", 255, 0));
    t.hold_mode = static_cast<uint8_t>(Field(e, "hold_mode", 255, 0));
  });
  ForEachObject(state.scenario.document, "temperature_sensors",
                [&](uint16_t number, const json& e) {
                  SimTemperatureSensor& s = o.sensors[number];
                  s.status = static_cast<uint8_t>(Field(e, "status", 255, 0));
                  s.temperature = static_cast<uint8_t>(Field(e, "temperature", 255, 0));
                  s.heat_setpoint = static_cast<uint8_t>(Field(e, "heat_setpoint", 255, 0));
                  s.cool_setpoint = static_cast<uint8_t>(Field(e, "cool_setpoint", 255, 0));
                });
  ForEachObject(state.scenario.document, "messages", [&](uint16_t number, const json& e) {
    SimMessage& m = o.messages[number];
    m.displayed = Flag(e, "displayed", false);
    m.acknowledged = Flag(e, "acknowledged", true);
  });
  ForEachObject(state.scenario.document, "audio_zones", [&](uint16_t number, const json& e) {
    o.audio_zones[number] = SimAudioZone{static_cast<uint8_t>(Field(e, "power", 255, 0)),
                                         static_cast<uint8_t>(Field(e, "source", 255, 1)),
                                         static_cast<uint8_t>(Field(e, "volume", 255, 0)),
                                         static_cast<uint8_t>(Field(e, "mute", 255, 0))};
  });
  ForEachObject(state.scenario.document, "audio_sources", [&](uint16_t number, const json& e) {
    SimAudioSource& source = o.audio_sources[number];
    for (const auto& [key, code] : kMetadataFields) {
      auto it = e.find(key);
      if (it != e.end() && it->is_string()) source.texts[code] = it->get<std::string>();
    }
  });
  return o;
}

}  // namespace zel::sim
