#include "sim/scenario_names.h"

#include <array>
#include <string_view>

namespace zel::sim {
namespace {

constexpr std::array<std::string_view, 7> kKinds = {"zones", "units",       "buttons", "codes",
                                                    "areas", "thermostats", "messages"};

}  // namespace

size_t NameFieldSize(uint8_t type) {
  if (type == 1 || type == 7) return 16;
  if (type >= 2 && type <= 6) return 13;
  return 0;
}

std::vector<ScenarioName> ScenarioNames(const nlohmann::json& document) {
  std::vector<ScenarioName> names;
  auto section = document.find("names");
  if (section == document.end() || !section->is_object()) return names;
  for (size_t k = 0; k < kKinds.size(); ++k) {
    auto kind = section->find(std::string(kKinds[k]));
    if (kind == section->end() || !kind->is_array()) continue;
    for (const nlohmann::json& entry : *kind) {
      if (!entry.is_object()) continue;
      auto number = entry.find("number");
      auto name = entry.find("name");
      if (number == entry.end() || !number->is_number_integer() || name == entry.end() ||
          !name->is_string()) {
        continue;
      }
      int64_t n = number->get<int64_t>();
      if (n < 1 || n > 0xFFFF) continue;
      names.push_back(ScenarioName{static_cast<uint8_t>(k + 1), static_cast<uint16_t>(n),
                                   name->get<std::string>()});
    }
  }
  return names;
}

Bytes NameFrame(const ScenarioName& name) {
  Bytes data;
  data.push_back(name.type);
  if (name.number >= 256) data.push_back(static_cast<uint8_t>(name.number >> 8));
  data.push_back(static_cast<uint8_t>(name.number & 0xFF));
  size_t field = NameFieldSize(name.type);
  for (size_t i = 0; i < field; ++i) {
    data.push_back(i < name.name.size() ? static_cast<uint8_t>(name.name[i]) : 0);
  }
  return MakeFrame(kNameData, data);
}

void SetScenarioName(nlohmann::json* document, const ScenarioName& name) {
  if (name.type < 1 || name.type > kKinds.size()) return;
  nlohmann::json& section = (*document)["names"];
  if (!section.is_object()) section = nlohmann::json::object();
  nlohmann::json& kind = section[std::string(kKinds[name.type - 1])];
  if (!kind.is_array()) kind = nlohmann::json::array();
  for (nlohmann::json& entry : kind) {
    if (entry.is_object() && entry.value("number", -1) == name.number) {
      entry["name"] = name.name;
      return;
    }
  }
  kind.push_back({{"number", name.number}, {"name", name.name}});
}

}  // namespace zel::sim
