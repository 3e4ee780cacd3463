#include "mqtt/installation_state.h"

#include <set>

namespace zel::mqtt {
namespace {

int IntOf(const bridge::Json& result) {
  const bridge::Json& v = result.contains("value") ? result["value"] : result;
  if (v.is_number_integer()) return v.get<int>();
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  return 0;
}

std::string TextOf(const bridge::Json& result) {
  const bridge::Json& v = result.contains("value") ? result["value"] : result;
  return v.is_string() ? v.get<std::string>() : std::string();
}

// The plain value of a property's result (null when it has none).
bridge::Json ValueOf(const bridge::Json& result) {
  return result.contains("value") ? result["value"] : bridge::Json();
}

std::string Dump(const bridge::Json& j) {
  return j.dump(-1, ' ', false, bridge::Json::error_handler_t::replace);
}

}  // namespace

std::optional<std::string> AreaStateName(int mode, bool alarm) {
  if (alarm) return "triggered";
  switch (mode) {
    case 0:
      return "disarmed";
    case 1:
    case 5:
      return "armed_home";
    case 2:
    case 6:
      return "armed_night";
    case 3:
      return "armed_away";
    case 4:
      return "armed_vacation";
    default:
      if (mode >= 9 && mode <= 14) return "arming";
      return std::nullopt;
  }
}

std::string ZoneStateName(int condition, int arming) {
  if (arming == 1 || arming == 2) return "bypassed";
  if (condition == 2 || condition == 3) return "trouble";
  if (condition == 1) return "open";
  return "closed";
}

std::optional<int> UnitLevel(int status) {
  if (status == 0) return 0;
  if (status == 1) return 100;
  if (status >= 100 && status <= 200) return status - 100;
  return std::nullopt;
}

std::string UnitStateName(int status) {
  std::optional<int> level = UnitLevel(status);
  return level && *level == 0 ? "off" : "on";
}

HRESULT InstallationReader::Op(const Json& request, Json* reply) {
  HRESULT hr = client_.Op(request, reply);
  // A session or handle the bridge no longer knows: start afresh next time.
  if (Failed(hr)) server_.clear();
  return hr;
}

HRESULT InstallationReader::Open() {
  if (!server_.empty()) return S_OK;
  (void)client_.CloseSession();
  ZEL_TRY(client_.OpenSession());
  Json reply;
  ZEL_TRY(client_.Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply));
  server_ = reply["result"]["object"].get<std::string>();
  return S_OK;
}

HRESULT InstallationReader::Get(const std::string& object, const std::string& member, Json* result,
                                const Json& args) {
  Json reply;
  Json request = {{"op", "call"}, {"object", object}, {"member", member}};
  if (!args.empty()) request["args"] = args;
  ZEL_TRY(Op(request, &reply));
  *result = reply.contains("result") ? reply["result"] : Json();
  return S_OK;
}

HRESULT InstallationReader::Handle(const std::string& object, const std::string& member,
                                   std::string* handle, const Json& args, std::string* cls) {
  Json result;
  ZEL_TRY(Get(object, member, &result, args));
  if (!result.contains("object") || !result["object"].is_string()) return E_FAIL;
  *handle = result["object"].get<std::string>();
  if (cls != nullptr) *cls = result.value("class", std::string());
  return S_OK;
}

void InstallationReader::Release(const std::string& handle) {
  Json reply;
  (void)client_.Op({{"op", "release"}, {"object", handle}}, &reply);
}

template <class Each>
HRESULT InstallationReader::ForEach(const char* name, Each each) {
  std::string collection;
  ZEL_TRY(Handle(server_, name, &collection));
  Json count;
  HRESULT hr = Get(collection, "Count", &count);
  for (int i = 1; Succeeded(hr) && i <= IntOf(count); ++i) {
    std::string element, cls;
    hr = Handle(collection, "Item", &element, Json::array({i}), &cls);
    if (Succeeded(hr)) {
      hr = each(element, cls);
      Release(element);
    }
  }
  Release(collection);
  return hr;
}

HRESULT InstallationReader::CallOnElement(const char* collection, int id, const std::string& member,
                                          const Json& args, Json* reply, const Json* put_value) {
  ZEL_TRY(Open());
  bool found = false;
  HRESULT called = S_OK;
  HRESULT hr = ForEach(collection, [&](const std::string& element, const std::string&) -> HRESULT {
    if (found) return S_OK;
    Json element_id;
    ZEL_TRY(Get(element, "ID", &element_id));
    if (IntOf(element_id) != id) return S_OK;
    found = true;
    // The command's own failure (a wrong code) is its result, not a failure of the bridge.
    Json request = {{"op", put_value != nullptr ? "put" : "call"},
                    {"object", element},
                    {"member", member},
                    {"args", args}};
    if (put_value != nullptr) request["value"] = *put_value;
    called = client_.Op(request, reply);
    return S_OK;
  });
  if (Failed(hr)) return hr;
  return found ? called : DISP_E_BADINDEX;
}

unsigned StateKindsOfEvent(const bridge::Json& event) {
  static const std::map<std::string, unsigned> kByClass = {
      {"CZelSystemZoneEvent", kSecurityStates},     {"CZelSystemAlarmEvent", kSecurityStates},
      {"CZelSystemSecurityEvent", kSecurityStates}, {"CZelSystemUnitEvent", kUnitStates},
      {"CZelSystemAllOnOffEvent", kUnitStates},     {"CZelSystemX10Event", kUnitStates}};
  if (!event.is_object() || !event.contains("arguments") || !event["arguments"].is_array() ||
      event["arguments"].empty()) {
    return kAllStates;
  }
  const bridge::Json& first = event["arguments"][0];
  if (!first.is_object() || !first.contains("class") || !first["class"].is_string()) {
    return kAllStates;
  }
  auto it = kByClass.find(first["class"].get<std::string>());
  return it == kByClass.end() ? kAllStates : it->second;
}

HRESULT InstallationReader::Read(unsigned kinds, std::map<std::string, std::string>* states) {
  ZEL_TRY(Open());
  if (!read_all_) kinds = kAllStates;
  // The kinds not read now keep their last states.
  static const std::pair<unsigned, const char*> kPrefixes[] = {
      {kSecurityStates, "zone/"},      {kSecurityStates, "area/"},  {kUnitStates, "unit/"},
      {kClimateStates, "thermostat/"}, {kClimateStates, "sensor/"}, {kButtonStates, "button/"},
      {kMessageStates, "message/"}};
  std::map<std::string, std::string> out;
  for (const auto& [topic, payload] : last_) {
    bool kept = false;
    for (const auto& [kind, prefix] : kPrefixes) {
      if ((kinds & kind) == 0 && topic.rfind(prefix, 0) == 0) kept = true;
    }
    if (kept) out[topic] = payload;
  }
  Json status, link, failures, last_good, format, model, version;
  ZEL_TRY(Get(server_, "Status", &status));
  // The controller's model and firmware texts (for the device of the discovery configs).
  if (Failed(Get(server_, "Model", &model))) model = Json();
  if (Failed(Get(server_, "version", &version))) version = Json();
  // The installation's temperature scale, as the controller's setup gives it (0 when unknown).
  if (Failed(Get(server_, "TemperatureFormat", &format))) format = Json();
  ZEL_TRY(Get(server_, "LinkState", &link));
  ZEL_TRY(Get(server_, "LinkFailures", &failures));
  ZEL_TRY(Get(server_, "LinkLastGood", &last_good));
  out["server"] = Dump(Json{{"status", IntOf(status)},
                            {"link", link.contains("value") ? link["value"] : Json()},
                            {"linkFailures", IntOf(failures)},
                            {"linkLastGood", ValueOf(last_good)},
                            {"temperatureFormat", ValueOf(format)},
                            {"model", TextOf(model)},
                            {"firmware", TextOf(version)}});

  // Zones first: an area is triggered while one of its zones is in alarm.
  std::set<int> areas_in_alarm;
  HRESULT hr = S_OK;
  if (kinds & kSecurityStates)
    hr = ForEach("Zones", [&](const std::string& zone, const std::string&) -> HRESULT {
      Json id, name, condition, alarm, arming, trouble;
      ZEL_TRY(Get(zone, "ID", &id));
      ZEL_TRY(Get(zone, "Name", &name));
      ZEL_TRY(Get(zone, "CurrCondition", &condition));
      ZEL_TRY(Get(zone, "AlarmStatus", &alarm));
      ZEL_TRY(Get(zone, "ArmingStatus", &arming));
      ZEL_TRY(Get(zone, "HadTrouble", &trouble));
      // The zone's area: the area element (its ID), or its number. It belongs to the setup, so
      // a read after an event takes it from the last full read.
      int area_id = 0;
      Json area;
      auto known = zone_areas_.find(IntOf(id));
      if (kinds != kAllStates && known != zone_areas_.end()) {
        area_id = known->second;
      } else if (Succeeded(Get(zone, "Area", &area))) {
        if (area.contains("object") && area["object"].is_string()) {
          Json aid;
          if (Succeeded(Get(area["object"].get<std::string>(), "ID", &aid))) area_id = IntOf(aid);
          Release(area["object"].get<std::string>());
        } else {
          area_id = IntOf(area);
        }
      }
      zone_areas_[IntOf(id)] = area_id;
      if (IntOf(alarm) == 1) areas_in_alarm.insert(area_id);
      out["zone/" + std::to_string(IntOf(id))] =
          Dump(Json{{"name", TextOf(name)},
                    {"state", ZoneStateName(IntOf(condition), IntOf(arming))},
                    {"area", area_id},
                    {"condition", IntOf(condition)},
                    {"alarm", IntOf(alarm)},
                    {"arming", IntOf(arming)},
                    {"trouble", IntOf(trouble) != 0}});
      return S_OK;
    });
  if (Failed(hr)) return hr;
  if (kinds & kSecurityStates)
    hr = ForEach("Areas", [&](const std::string& area, const std::string&) -> HRESULT {
      Json id, name, mode;
      ZEL_TRY(Get(area, "ID", &id));
      ZEL_TRY(Get(area, "Name", &name));
      ZEL_TRY(Get(area, "SecurityMode", &mode));
      const bool alarm = areas_in_alarm.count(IntOf(id)) != 0;
      std::optional<std::string> state = AreaStateName(IntOf(mode), alarm);
      out["area/" + std::to_string(IntOf(id))] = Dump(Json{{"name", TextOf(name)},
                                                           {"state", state ? Json(*state) : Json()},
                                                           {"mode", IntOf(mode)},
                                                           {"alarm", alarm}});
      return S_OK;
    });
  if (Failed(hr)) return hr;
  if (kinds & kUnitStates)
    hr = ForEach("Units", [&](const std::string& unit, const std::string& cls) -> HRESULT {
      Json id, name, st;
      ZEL_TRY(Get(unit, "ID", &id));
      ZEL_TRY(Get(unit, "Name", &name));
      ZEL_TRY(Get(unit, "Status", &st));
      std::optional<int> level = UnitLevel(IntOf(st));
      out["unit/" + std::to_string(IntOf(id))] =
          Dump(Json{{"name", TextOf(name)},
                    {"state", UnitStateName(IntOf(st))},
                    {"level", level ? Json(*level) : Json()},
                    {"status", IntOf(st)},
                    {"dimmable", cls == kDimmableUnitClass}});
      return S_OK;
    });
  if (Failed(hr)) return hr;
  // Thermostats and sensors: each value as the server gives it, in both scales.
  static constexpr const char* kTemperatures[] = {"TemperatureF",  "TemperatureC",
                                                  "HeatSetpointF", "HeatSetpointC",
                                                  "CoolSetpointF", "CoolSetpointC"};
  auto climate = [&](const char* collection, const char* kind, bool modes) {
    return ForEach(collection,
                   [&, kind, modes](const std::string& element, const std::string&) -> HRESULT {
                     Json id, name, value;
                     ZEL_TRY(Get(element, "ID", &id));
                     ZEL_TRY(Get(element, "Name", &name));
                     Json state = {{"name", TextOf(name)}};
                     for (const char* member : kTemperatures) {
                       ZEL_TRY(Get(element, member, &value));
                       std::string key = member;
                       key[0] = static_cast<char>(key[0] - 'A' + 'a');
                       state[key] = ValueOf(value);
                     }
                     if (modes) {
                       for (const char* member : {"SystemMode", "FanMode", "HoldMode"}) {
                         ZEL_TRY(Get(element, member, &value));
                         std::string key = member;
                         key[0] = static_cast<char>(key[0] - 'A' + 'a');
                         state[key] = ValueOf(value);
                       }
                     }
                     out[std::string(kind) + "/" + std::to_string(IntOf(id))] = Dump(state);
                     return S_OK;
                   });
  };
  if (kinds & kClimateStates) {
    if (Failed(hr = climate("Thermostats", "thermostat", true))) return hr;
    if (Failed(hr = climate("TemperatureSensors", "sensor", false))) return hr;
  }
  if (kinds & kButtonStates)
    hr = ForEach("Buttons", [&](const std::string& button, const std::string&) -> HRESULT {
      Json id, name;
      ZEL_TRY(Get(button, "ID", &id));
      ZEL_TRY(Get(button, "Name", &name));
      out["button/" + std::to_string(IntOf(id))] = Dump(Json{{"name", TextOf(name)}});
      return S_OK;
    });
  if (Failed(hr)) return hr;
  if (kinds & kMessageStates)
    hr = ForEach("Messages", [&](const std::string& message, const std::string&) -> HRESULT {
      Json id, name, displayed, acknowledged;
      ZEL_TRY(Get(message, "ID", &id));
      ZEL_TRY(Get(message, "Name", &name));
      ZEL_TRY(Get(message, "Displayed", &displayed));
      ZEL_TRY(Get(message, "Acknowledged", &acknowledged));
      out["message/" + std::to_string(IntOf(id))] =
          Dump(Json{{"name", TextOf(name)},
                    {"displayed", ValueOf(displayed)},
                    {"acknowledged", ValueOf(acknowledged)}});
      return S_OK;
    });
  if (Failed(hr)) return hr;
  if (kinds == kAllStates) read_all_ = true;
  last_ = out;
  *states = std::move(out);
  return S_OK;
}

}  // namespace zel::mqtt
