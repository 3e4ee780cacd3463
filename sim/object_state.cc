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
  return o;
}

}  // namespace zel::sim
