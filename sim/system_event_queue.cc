#include "sim/system_event_queue.h"

namespace zel::sim {

HRESULT ParseSystemEventCodes(const nlohmann::json& list, std::vector<uint16_t>* codes,
                              std::string* error) {
  codes->clear();
  if (!list.is_array()) {
    *error = "system event codes must be a list";
    return E_INVALIDARG;
  }
  std::vector<uint16_t> parsed;
  for (const nlohmann::json& item : list) {
    uint64_t value = 0;
    bool ok = false;
    if (item.is_number_unsigned()) {
      value = item.get<uint64_t>();
      ok = value <= 0xFFFF;
    } else if (item.is_string()) {
      std::string text = item.get<std::string>();
      if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
      }
      ok = !text.empty() && text.size() <= 4 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
      if (ok) value = std::stoul(text, nullptr, 16);
    }
    if (!ok) {
      *error = "not a system event code (0 to 65535, or hexadecimal text): " + item.dump();
      return E_INVALIDARG;
    }
    parsed.push_back(static_cast<uint16_t>(value));
  }
  *codes = std::move(parsed);
  return S_OK;
}

HRESULT CheckSystemEventsSection(const nlohmann::json& document, std::string* error) {
  auto section = document.find("system_events");
  if (section == document.end()) return S_OK;
  if (!section->is_object()) {
    *error = "\"system_events\" must be an object";
    return E_INVALIDARG;
  }
  if (auto list = section->find("queue"); list != section->end()) {
    std::vector<uint16_t> codes;
    ZEL_TRY(ParseSystemEventCodes(*list, &codes, error));
    if (codes.size() > kMaxQueuedCodes) {
      *error = "\"system_events.queue\" holds too many codes";
      return E_INVALIDARG;
    }
  }
  if (auto per = section->find("per_reply"); per != section->end()) {
    if (!per->is_number_unsigned() || per->get<uint64_t>() < 1 ||
        per->get<uint64_t>() > kMaxCodesPerReply) {
      *error = "\"system_events.per_reply\" must be 1 to 127";
      return E_INVALIDARG;
    }
  }
  return S_OK;
}

}  // namespace zel::sim
