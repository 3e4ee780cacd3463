#include "sim/event_log.h"

namespace zel::sim {
namespace {

// A byte field of a record: missing gives `fallback`; out of 0..max or not an integer fails.
bool ByteField(const nlohmann::json& record, const char* key, int fallback, int min, int max,
               uint8_t* out, std::string* error) {
  auto it = record.find(key);
  int value = fallback;
  if (it != record.end()) {
    if (!it->is_number_integer() || it->get<int64_t>() < min || it->get<int64_t>() > max) {
      *error = std::string("\"") + key + "\" must be an integer from " + std::to_string(min) +
               " to " + std::to_string(max);
      return false;
    }
    value = it->get<int>();
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

HRESULT EventRecordFrame(const nlohmann::json& record, Bytes* frame, std::string* error) {
  if (!record.is_object()) {
    *error = "a log record is a JSON object";
    return E_INVALIDARG;
  }
  if (!record.contains("type")) {
    *error = "a log record needs \"type\"";
    return E_INVALIDARG;
  }
  uint8_t type = 0, p1 = 0, p2 = 0, p3 = 0, month = 0, day = 0, hour = 0, minute = 0;
  bool timed = record.contains("month");
  // Dates are taken as given (month 13 included), so tests can log impossible ones.
  if (!ByteField(record, "type", 0, 0, 255, &type, error) ||
      !ByteField(record, "parameter1", 0, 0, 255, &p1, error) ||
      !ByteField(record, "parameter2", 0, 0, 255, &p2, error) ||
      !ByteField(record, "parameter3", 0, 0, 255, &p3, error) ||
      !ByteField(record, "month", 0, 0, 255, &month, error) ||
      !ByteField(record, "day", 1, 0, 255, &day, error) ||
      !ByteField(record, "hour", 0, 0, 255, &hour, error) ||
      !ByteField(record, "minute", 0, 0, 255, &minute, error)) {
    return E_INVALIDARG;
  }
  *frame = MakeFrame(kEventLogRecord, {0, static_cast<uint8_t>(timed ? 1 : 0), month, day, hour,
                                       minute, type, p1, 0, p2, p3});
  return S_OK;
}

void LoadScenarioLog(const nlohmann::json& document, EventLog* log) {
  if (log->loaded) return;
  log->loaded = true;
  auto section = document.find("log");
  if (section == document.end() || !section->is_array()) return;
  // The section lists the newest record first.
  for (auto it = section->rbegin(); it != section->rend(); ++it) {
    Bytes frame;
    std::string error;
    if (Succeeded(EventRecordFrame(*it, &frame, &error))) log->records.push_back(std::move(frame));
  }
}

void AppendEventRecord(EventLog* log, Bytes frame) { log->records.push_back(std::move(frame)); }

void RollEventLog(EventLog* log, size_t count) {
  count = std::min(count, log->records.size());
  log->records.erase(log->records.begin(), log->records.begin() + static_cast<long>(count));
  if (log->walking) log->next = log->next > count ? log->next - count : 0;
}

}  // namespace zel::sim
