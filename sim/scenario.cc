#include "sim/scenario.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include "sim/system_event_queue.h"

namespace zel::sim {
namespace {

using nlohmann::json;

// Reads an integer field when present; false (with *error set) when it has the wrong type or
// lies outside [low, high].
bool ReadInt(const json& section, const char* key, int low, int high, int* out,
             std::string* error) {
  auto it = section.find(key);
  if (it == section.end()) return true;
  if (!it->is_number_integer() || it->get<int64_t>() < low || it->get<int64_t>() > high) {
    *error = std::string("\"") + key + "\" must be an integer from " + std::to_string(low) +
             " to " + std::to_string(high);
    return false;
  }
  *out = static_cast<int>(it->get<int64_t>());
  return true;
}

bool ReadString(const json& section, const char* key, std::string* out, std::string* error) {
  auto it = section.find(key);
  if (it == section.end()) return true;
  if (!it->is_string()) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = it->get<std::string>();
  return true;
}

bool ReadBool(const json& section, const char* key, bool* out, std::string* error) {
  auto it = section.find(key);
  if (it == section.end()) return true;
  if (!it->is_boolean()) {
    *error = std::string("\"") + key + "\" must be true or false";
    return false;
  }
  *out = it->get<bool>();
  return true;
}

bool IsFourDigits(const std::string& code) {
  if (code.size() != 4) return false;
  for (char c : code) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

HRESULT ParseFullPrivateKey(std::string_view text, PrivateKey* key) {
  // Every byte must come from the text: parse onto two different keys and compare.
  PrivateKey a, b;
  a.fill(0x00);
  b.fill(0xFF);
  if (Failed(ParsePrivateKey(text, &a)) || Failed(ParsePrivateKey(text, &b)) || a != b) {
    return E_INVALIDARG;
  }
  *key = a;
  return S_OK;
}

HRESULT ParseScenario(std::string_view text, Scenario* out, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (out == nullptr) return E_POINTER;
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    *error = "the scenario is not a JSON object";
    return E_INVALIDARG;
  }
  Scenario s;
  auto controller = doc.find("controller");
  if (controller != doc.end()) {
    if (!controller->is_object()) {
      *error = "\"controller\" must be an object";
      return E_INVALIDARG;
    }
    const json& c = *controller;
    if (!ReadInt(c, "model", 0, 255, &s.model, error)) return E_INVALIDARG;
    if (!ReadString(c, "phone_number", &s.phone_number, error)) return E_INVALIDARG;
    // The system information reply carries it with four bytes before and a zero after, in one
    // frame of at most 255 bytes after the length.
    if (s.phone_number.size() > kMaxPhoneNumber) {
      *error = "\"phone_number\" is longer than " + std::to_string(kMaxPhoneNumber) +
               " characters: it would not fit one reply frame";
      return E_INVALIDARG;
    }
    if (!ReadString(c, "access_code", &s.access_code, error)) return E_INVALIDARG;
    if (!ReadBool(c, "probe_ack", &s.probe_ack, error)) return E_INVALIDARG;
    auto fw = c.find("firmware");
    if (fw != c.end()) {
      if (!fw->is_object()) {
        *error = "\"firmware\" must be an object";
        return E_INVALIDARG;
      }
      if (!ReadInt(*fw, "major", 0, 255, &s.firmware.major, error) ||
          !ReadInt(*fw, "minor", 0, 255, &s.firmware.minor, error) ||
          !ReadInt(*fw, "revision", -128, 127, &s.firmware.revision, error)) {
        return E_INVALIDARG;
      }
    }
    std::string key_text;
    if (!ReadString(c, "private_key", &key_text, error)) return E_INVALIDARG;
    if (!key_text.empty() && Failed(ParseFullPrivateKey(key_text, &s.private_key))) {
      *error = "\"private_key\" must be sixteen two-digit hex groups joined by hyphens";
      return E_INVALIDARG;
    }
    if (!IsFourDigits(s.access_code)) {
      *error = "\"access_code\" must be four digits";
      return E_INVALIDARG;
    }
  }
  // The setup and status sections; the setup block must build for the scenario's model.
  if (Failed(ParseSetupSection(doc, &s.setup_block_size, error)) ||
      Failed(ParseStatusSection(doc, &s.status, error))) {
    return E_INVALIDARG;
  }
  if (Failed(CheckSystemEventsSection(doc, error))) return E_INVALIDARG;
  Bytes block;
  if (Failed(BuildSetupBlock(doc, s.model, s.firmware.major, s.firmware.minor, &block, error))) {
    return E_INVALIDARG;
  }
  s.document = std::move(doc);
  *out = std::move(s);
  return S_OK;
}

HRESULT LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = "cannot read " + path;
    return HresultFromErrno(errno == 0 ? ENOENT : errno);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseScenario(text.str(), out, error);
}

}  // namespace zel::sim
