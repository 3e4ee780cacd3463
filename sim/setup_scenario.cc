#include "sim/setup_scenario.h"

#include <charconv>
#include <cstdio>
#include <tuple>

#include "sim/civil_time.h"
#include "sim/controller_model.h"

namespace zel::sim {
namespace {

using nlohmann::json;

constexpr size_t kDefaultBlockSize = 64;
constexpr size_t kMaxBlockPayload = 252;  // the length byte (255) less type and block header

HRESULT Refuse(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return E_INVALIDARG;
}

bool IsByte(const json& v) {
  return v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 255;
}

// Lays bytes into the block, refusing what does not fit.
class BlockWriter {
 public:
  BlockWriter(Bytes* block, std::string* error) : block_(block), error_(error) {}

  HRESULT Put(const char* what, int offset, int64_t index, const json& value) {
    if (offset < 0) return Refuse(error_, std::string("this model has no ") + what);
    if (!IsByte(value)) return Refuse(error_, std::string(what) + " values must be 0 to 255");
    int64_t at = offset + index;
    if (index < 0 || at >= static_cast<int64_t>(block_->size())) {
      return Refuse(error_, std::string(what) + " entry " + std::to_string(index + 1) +
                                " lies outside the setup block");
    }
    (*block_)[static_cast<size_t>(at)] = static_cast<uint8_t>(value.get<int>());
    return S_OK;
  }

  HRESULT PutList(const json& section, const char* key, int offset) {
    auto it = section.find(key);
    if (it == section.end()) return S_OK;
    if (!it->is_array()) return Refuse(error_, std::string("\"") + key + "\" must be a list");
    for (size_t i = 0; i < it->size(); ++i)
      ZEL_TRY(Put(key, offset, static_cast<int64_t>(i), (*it)[i]));
    return S_OK;
  }

  HRESULT PutScalar(const json& section, const char* key, int offset) {
    auto it = section.find(key);
    if (it == section.end()) return S_OK;
    return Put(key, offset, 0, *it);
  }

 private:
  Bytes* block_;
  std::string* error_;
};

HRESULT ParseHex(const std::string& text, Bytes* out, std::string* error) {
  Bytes bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    unsigned value = 0;
    int used = 0;
    if (std::sscanf(text.c_str() + i, "%2x%n", &value, &used) != 1 || used != 2) {
      return Refuse(error, "\"raw\" must be hex bytes separated by blanks");
    }
    bytes.push_back(static_cast<uint8_t>(value));
    i += 2;
  }
  *out = std::move(bytes);
  return S_OK;
}

// A user code record: the code (four digits, high byte first), authority, access times.
HRESULT PutUserCode(const json& code, int base, Bytes* block, std::string* error) {
  if (!code.is_object()) return Refuse(error, "a user code must be an object");
  auto number = code.find("number");
  if (number == code.end() || !number->is_number_integer() || number->get<int>() < 1) {
    return Refuse(error, "a user code needs a \"number\" from 1");
  }
  if (base < 0) return Refuse(error, "this model has no user codes");
  size_t at = static_cast<size_t>(base) + static_cast<size_t>(number->get<int>() - 1) * 14;
  if (at + 14 > block->size()) return Refuse(error, "a user code lies outside the setup block");
  auto digits = code.find("code");
  if (digits != code.end()) {
    if (!digits->is_string()) return Refuse(error, "\"code\" must be a string of digits");
    const std::string text = digits->get<std::string>();
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) > 0xFFFF) {
      return Refuse(error, "\"code\" must be digits of a 16-bit number");
    }
    int value = std::stoi(text);
    (*block)[at] = static_cast<uint8_t>(value >> 8);
    (*block)[at + 1] = static_cast<uint8_t>(value & 0xFF);
  }
  if (auto a = code.find("authority"); a != code.end()) {
    if (!IsByte(*a)) return Refuse(error, "\"authority\" must be 0 to 255");
    (*block)[at + 2] = static_cast<uint8_t>(a->get<int>());
  }
  for (auto [key, offset] : {std::pair<const char*, size_t>{"start", 4}, {"end", 9}}) {
    auto t = code.find(key);
    if (t == code.end()) continue;
    if (!t->is_array() || t->size() != 4) {
      return Refuse(error, std::string("\"") + key + "\" must be [hour, minute, month, day]");
    }
    for (size_t i = 0; i < 4; ++i) {
      if (!IsByte((*t)[i])) return Refuse(error, std::string("\"") + key + "\" holds bytes");
      (*block)[at + offset + i] = static_cast<uint8_t>((*t)[i].get<int>());
    }
  }
  return S_OK;
}

bool ParseClock(const std::string& text, int* hour, int* minute) {
  int used = 0;
  return std::sscanf(text.c_str(), "%d:%d%n", hour, minute, &used) == 2 &&
         used == static_cast<int>(text.size()) && *hour >= 0 && *hour < 24 && *minute >= 0 &&
         *minute < 60;
}

}  // namespace

HRESULT ParseSetupSection(const json& document, size_t* block_size, std::string* error) {
  *block_size = kDefaultBlockSize;
  auto setup = document.find("setup");
  if (setup == document.end()) return S_OK;
  if (!setup->is_object()) return Refuse(error, "\"setup\" must be an object");
  if (auto b = setup->find("block_size"); b != setup->end()) {
    if (!b->is_number_integer() || b->get<int64_t>() < 1 ||
        b->get<int64_t>() > static_cast<int64_t>(kMaxBlockPayload)) {
      return Refuse(error, "\"block_size\" must be 1 to 252");
    }
    *block_size = b->get<size_t>();
  }
  return S_OK;
}

HRESULT ParseStatusSection(const json& document, StatusScenario* out, std::string* error) {
  StatusScenario s;
  auto objects = document.find("objects");
  if (objects != document.end() && objects->is_object()) {
    auto areas = objects->find("areas");
    if (areas != objects->end() && areas->is_array()) {
      for (const json& area : *areas) {
        auto mode = area.is_object() ? area.find("mode") : area.end();
        s.area_modes.push_back(area.is_object() && mode != area.end() && IsByte(*mode)
                                   ? static_cast<uint8_t>(mode->get<int>())
                                   : 0);
      }
    }
  }
  auto status = document.find("status");
  if (status != document.end()) {
    if (!status->is_object()) return Refuse(error, "\"status\" must be an object");
    const json& st = *status;
    if (auto v = st.find("date_valid"); v != st.end()) {
      if (!v->is_boolean()) return Refuse(error, "\"date_valid\" must be true or false");
      s.date_valid = v->get<bool>();
    }
    if (auto v = st.find("daylight_saving"); v != st.end()) {
      if (!v->is_boolean()) return Refuse(error, "\"daylight_saving\" must be true or false");
      s.daylight_saving = v->get<bool>();
    }
    if (auto v = st.find("time"); v != st.end()) {
      std::tm t{};
      int used = 0;
      std::string text = v->is_string() ? v->get<std::string>() : "";
      if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                      &t.tm_hour, &t.tm_min, &t.tm_sec, &used) != 6 ||
          used != static_cast<int>(text.size())) {
        return Refuse(error, "\"time\" must read \"YYYY-MM-DD hh:mm:ss\"");
      }
      t.tm_year -= 1900;
      t.tm_mon -= 1;
      if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
          t.tm_min > 59 || t.tm_sec > 59) {
        return Refuse(error, "\"time\" is no calendar time");
      }
      std::tm normal = CivilFromSeconds(CivilSeconds(t));  // with its day of week filled in
      normal.tm_isdst = -1;
      s.time = normal;
    }
    for (auto [key, hour, minute] :
         {std::tuple<const char*, int*, int*>{"sunrise", &s.sunrise_hour, &s.sunrise_minute},
          {"sunset", &s.sunset_hour, &s.sunset_minute}}) {
      auto v = st.find(key);
      if (v == st.end()) continue;
      if (!v->is_string() || !ParseClock(v->get<std::string>(), hour, minute)) {
        return Refuse(error, std::string("\"") + key + "\" must read \"hh:mm\"");
      }
    }
    if (auto v = st.find("battery"); v != st.end()) {
      if (!IsByte(*v)) return Refuse(error, "\"battery\" must be 0 to 255");
      s.battery = v->get<int>();
    }
    if (auto v = st.find("area_modes"); v != st.end()) {
      if (!v->is_array()) return Refuse(error, "\"area_modes\" must be a list of bytes");
      s.area_modes.clear();
      for (const json& m : *v) {
        if (!IsByte(m)) return Refuse(error, "\"area_modes\" must be a list of bytes");
        s.area_modes.push_back(static_cast<uint8_t>(m.get<int>()));
      }
    }
  }
  *out = std::move(s);
  return S_OK;
}

HRESULT BuildSetupBlock(const json& document, int model_code, int major, int minor, Bytes* block,
                        std::string* error) {
  SetupLayout layout = LayoutOf(ModelIndexOfCode(model_code), major, minor);
  static const json kNone = json::object();
  auto found = document.find("setup");
  const json& setup = found != document.end() && found->is_object() ? *found : kNone;

  size_t size = layout.size;
  if (auto s = setup.find("size"); s != setup.end()) {
    if (!s->is_number_integer() || s->get<int64_t>() < 0 || s->get<int64_t>() > 65535) {
      return Refuse(error, "\"size\" must be 0 to 65535");
    }
    size = s->get<size_t>();
  }
  Bytes out(size, 0);
  if (auto raw = setup.find("raw"); raw != setup.end()) {
    Bytes bytes;
    if (!raw->is_string()) return Refuse(error, "\"raw\" must be a string of hex bytes");
    ZEL_TRY(ParseHex(raw->get<std::string>(), &bytes, error));
    if (bytes.size() > out.size()) out.resize(bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), out.begin());
  }

  BlockWriter w(&out, error);
  ZEL_TRY(w.PutScalar(setup, "time_zone", layout.time_zone));
  ZEL_TRY(w.PutScalar(setup, "temperature_format", layout.temperature_format));
  ZEL_TRY(w.PutScalar(setup, "first_house_code", layout.first_house_code));
  ZEL_TRY(w.PutScalar(setup, "areas_in_use", layout.areas_in_use));
  ZEL_TRY(w.PutList(setup, "expansions", layout.expansion_types));
  ZEL_TRY(w.PutList(setup, "thermostat_types", layout.thermostat_types));
  ZEL_TRY(w.PutList(setup, "lighting_formats", layout.lighting_formats));

  // Audio module slots: the first ones in one block, the rest (on some models) in another.
  if (auto modules = setup.find("audio_modules"); modules != setup.end()) {
    if (!modules->is_array()) return Refuse(error, "\"audio_modules\" must be a list");
    for (size_t i = 0; i < modules->size(); ++i) {
      int64_t first = layout.audio_modules_first_count;
      if (static_cast<int64_t>(i) < first || layout.audio_modules_second < 0) {
        ZEL_TRY(
            w.Put("audio_modules", layout.audio_modules, static_cast<int64_t>(i), (*modules)[i]));
      } else {
        ZEL_TRY(w.Put("audio_modules", layout.audio_modules_second, static_cast<int64_t>(i) - first,
                      (*modules)[i]));
      }
    }
  }

  // User codes and zones: the "setup" section's own lists, else those of "objects" (entries
  // the model has no place for are left out there, since objects describe more than the block).
  auto objects = document.find("objects");
  auto from_objects = [&](const char* key) -> const json* {
    if (objects == document.end() || !objects->is_object()) return nullptr;
    auto it = objects->find(key);
    return it != objects->end() && it->is_array() ? &*it : nullptr;
  };
  if (auto codes = setup.find("user_codes"); codes != setup.end()) {
    if (!codes->is_array()) return Refuse(error, "\"user_codes\" must be a list");
    for (const json& c : *codes) ZEL_TRY(PutUserCode(c, layout.user_codes, &out, error));
  } else if (const json* codes = from_objects("codes");
             codes != nullptr && layout.user_codes >= 0) {
    for (const json& c : *codes) {
      if (c.is_object() && c.contains("code"))
        ZEL_TRY(PutUserCode(c, layout.user_codes, &out, error));
    }
  }
  const json* zones = nullptr;
  bool explicit_zones = false;
  if (auto z = setup.find("zones"); z != setup.end()) {
    if (!z->is_array()) return Refuse(error, "\"zones\" must be a list");
    zones = &*z;
    explicit_zones = true;
  } else {
    zones = from_objects("zones");
  }
  if (zones != nullptr) {
    for (const json& z : *zones) {
      auto number = z.is_object() ? z.find("number") : z.end();
      if (!z.is_object() || number == z.end() || !number->is_number_integer() ||
          number->get<int>() < 1) {
        return Refuse(error, "a zone needs a \"number\" from 1");
      }
      int64_t index = number->get<int>() - 1;
      for (auto [key, offset] :
           {std::pair<const char*, int>{"type", layout.zone_types}, {"area", layout.zone_areas}}) {
        auto v = z.find(key);
        if (v == z.end()) continue;
        if (!explicit_zones && (offset < 0 || offset + index >= static_cast<int64_t>(out.size()))) {
          continue;
        }
        ZEL_TRY(w.Put(key, offset, index, *v));
      }
    }
  }

  if (auto bytes = setup.find("bytes"); bytes != setup.end()) {
    if (!bytes->is_object()) return Refuse(error, "\"bytes\" must map offsets to bytes");
    for (const auto& [key, value] : bytes->items()) {
      int offset = -1;
      auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), offset);
      if (ec != std::errc() || end != key.data() + key.size() || offset < 0) {
        return Refuse(error, "\"bytes\" keys must be decimal offsets");
      }
      ZEL_TRY(w.Put("bytes", offset, 0, value));
    }
  }
  *block = std::move(out);
  return S_OK;
}

}  // namespace zel::sim
