#include "sim/faults.h"

#include <algorithm>
#include <array>
#include <utility>

namespace zel::sim {
namespace {

using nlohmann::json;

constexpr std::array<std::pair<FaultKind, const char*>, 14> kNames = {{
    {FaultKind::kNoReply, "no_reply"},
    {FaultKind::kCorruptCrc, "corrupt_crc"},
    {FaultKind::kBadStart, "bad_start"},
    {FaultKind::kGarbage, "garbage"},
    {FaultKind::kChunked, "chunked"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kTruncate, "truncate"},
    {FaultKind::kRawReply, "raw_reply"},
    {FaultKind::kTrickle, "trickle"},
    {FaultKind::kLoseRequest, "lose_request"},
    {FaultKind::kPreviousSequence, "previous_sequence"},
    {FaultKind::kWrongType, "wrong_type"},
    {FaultKind::kLoseReply, "lose_reply"},
    {FaultKind::kStraySender, "stray_sender"},
}};
constexpr int kDefaultTricklePauseMs = 1000;

// Bytes sent before the reply when a garbage fault names none: no start byte among them.
const Bytes kDefaultGarbage = {0x00, 0xFF, 0x13, 0x11};

bool ReadIntField(const json& o, const char* key, int low, int* out, std::string* error) {
  auto it = o.find(key);
  if (it == o.end()) return true;
  if (!it->is_number_integer() || it->get<int64_t>() < low || it->get<int64_t>() > 600000) {
    *error = std::string("\"") + key + "\" must be an integer from " + std::to_string(low);
    return false;
  }
  *out = static_cast<int>(it->get<int64_t>());
  return true;
}

bool ReadBytesField(const json& o, const char* key, Bytes* out, std::string* error) {
  auto it = o.find(key);
  if (it == o.end()) return true;
  if (!it->is_array()) {
    *error = std::string("\"") + key + "\" must be an array of byte values";
    return false;
  }
  Bytes bytes;
  for (const json& b : *it) {
    if (!b.is_number_integer() || b.get<int64_t>() < 0 || b.get<int64_t>() > 255) {
      *error = std::string("\"") + key + "\" must be an array of byte values";
      return false;
    }
    bytes.push_back(static_cast<uint8_t>(b.get<int64_t>()));
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  for (const auto& [k, name] : kNames) {
    if (k == kind) return name;
  }
  return "?";
}

HRESULT ParseFault(const json& object, Fault* fault, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (fault == nullptr) return E_POINTER;
  auto name = object.find("fault");
  if (!object.is_object() || name == object.end() || !name->is_string()) {
    *error = "a fault needs \"fault\": name";
    return E_INVALIDARG;
  }
  Fault f;
  bool known = false;
  for (const auto& [k, text] : kNames) {
    if (*name == text) {
      f.kind = k;
      known = true;
    }
  }
  if (!known) {
    *error = "unknown fault \"" + name->get<std::string>() + "\"";
    return E_INVALIDARG;
  }
  if (!ReadIntField(object, "count", -1, &f.count, error)) return E_INVALIDARG;
  if (!ReadIntField(object, "pause_ms", 0, &f.pause_ms, error)) return E_INVALIDARG;
  if (!ReadIntField(object, "delay_ms", 0, &f.delay_ms, error)) return E_INVALIDARG;
  if (!ReadIntField(object, "ms", 0, &f.delay_ms, error)) return E_INVALIDARG;
  if (!ReadIntField(object, "truncate_to", 0, &f.truncate_to, error)) return E_INVALIDARG;
  if (!ReadIntField(object, "skip", 0, &f.skip, error) || f.skip < 0) {
    if (error->empty()) *error = "\"skip\" must be 0 or more";
    return E_INVALIDARG;
  }
  if (!ReadBytesField(object, "bytes", &f.bytes, error)) return E_INVALIDARG;
  if (auto chunks = object.find("chunks"); chunks != object.end()) {
    if (!chunks->is_array() || chunks->empty()) {
      *error = "\"chunks\" must be a non-empty array of sizes";
      return E_INVALIDARG;
    }
    for (const json& c : *chunks) {
      if (!c.is_number_integer() || c.get<int64_t>() < 1 || c.get<int64_t>() > 4096) {
        *error = "\"chunks\" sizes must be integers from 1";
        return E_INVALIDARG;
      }
      f.chunks.push_back(static_cast<int>(c.get<int64_t>()));
    }
  }
  if (f.kind == FaultKind::kChunked && f.chunks.empty()) f.chunks = {1};
  if (f.kind == FaultKind::kTrickle) {
    f.chunks = {1};
    if (object.find("pause_ms") == object.end()) f.pause_ms = kDefaultTricklePauseMs;
  }
  if (f.kind == FaultKind::kGarbage && f.bytes.empty()) f.bytes = kDefaultGarbage;
  if (f.count == 0) {
    *error = "\"count\" 0 would do nothing";
    return E_INVALIDARG;
  }
  *fault = std::move(f);
  return S_OK;
}

bool IsDatagramFault(FaultKind kind) {
  return kind == FaultKind::kLoseRequest || kind == FaultKind::kPreviousSequence ||
         kind == FaultKind::kWrongType || kind == FaultKind::kLoseReply ||
         kind == FaultKind::kStraySender;
}

namespace {

// Takes out the faults of one family that still let this reply or datagram through, using up
// one skip of each; they go back after UseUp.
std::vector<Fault> TakeWaiting(std::vector<Fault>* active, bool datagram_faults) {
  std::vector<Fault> waiting;
  std::vector<Fault> acting;
  for (Fault& f : *active) {
    if (IsDatagramFault(f.kind) == datagram_faults && f.skip > 0) {
      --f.skip;
      waiting.push_back(std::move(f));
    } else {
      acting.push_back(std::move(f));
    }
  }
  *active = std::move(acting);
  return waiting;
}

// Uses up one count of each fault of one family; -1 lasts until cleared. The waiting faults
// return untouched.
void UseUp(std::vector<Fault>* active, bool datagram_faults, std::vector<Fault> waiting) {
  for (Fault& f : *active) {
    if (IsDatagramFault(f.kind) == datagram_faults && f.count > 0) --f.count;
  }
  std::erase_if(*active, [](const Fault& f) { return f.count == 0; });
  for (Fault& f : waiting) active->push_back(std::move(f));
}

}  // namespace

DatagramPlan FaultSet::ApplyDatagram() {
  DatagramPlan plan;
  std::vector<Fault> waiting = TakeWaiting(&active_, /*datagram_faults=*/true);
  for (const Fault& f : active_) {
    if (f.kind == FaultKind::kLoseRequest) plan.lose_request = true;
    if (f.kind == FaultKind::kPreviousSequence) plan.previous_sequence = true;
    if (f.kind == FaultKind::kWrongType) plan.wrong_type = true;
    if (f.kind == FaultKind::kLoseReply) plan.lose_reply = true;
    if (f.kind == FaultKind::kStraySender) plan.stray_sender = true;
  }
  UseUp(&active_, /*datagram_faults=*/true, std::move(waiting));
  return plan;
}

WirePlan FaultSet::Apply(const Bytes& reply, bool send) {
  WirePlan plan;
  plan.send = send;
  Bytes bytes = reply;
  Bytes prefix;
  int delay_ms = 0;
  const Fault* chunked = nullptr;
  // Faults still letting replies through sit this one out.
  std::vector<Fault> waiting = TakeWaiting(&active_, /*datagram_faults=*/false);
  // Raw replies replace the handler's reply before the other faults change it.
  for (const Fault& f : active_) {
    if (f.kind == FaultKind::kRawReply) {
      bytes = f.bytes;
      plan.send = true;
    }
  }
  for (const Fault& f : active_) {
    switch (f.kind) {
      case FaultKind::kNoReply:
        plan.send = false;
        break;
      case FaultKind::kCorruptCrc:
        if (!bytes.empty()) bytes.back() ^= 0xFF;
        break;
      case FaultKind::kBadStart:
        if (!bytes.empty()) bytes.front() = 0xA5;
        break;
      case FaultKind::kGarbage:
        prefix.insert(prefix.end(), f.bytes.begin(), f.bytes.end());
        break;
      case FaultKind::kChunked:
        chunked = &f;
        break;
      case FaultKind::kTrickle:
        chunked = &f;
        plan.abandon_on_request = true;
        break;
      case FaultKind::kDelay:
        delay_ms += f.delay_ms;
        break;
      case FaultKind::kTruncate:
        if (bytes.size() > static_cast<size_t>(f.truncate_to)) bytes.resize(f.truncate_to);
        break;
      case FaultKind::kRawReply:
      case FaultKind::kLoseRequest:
      case FaultKind::kPreviousSequence:
      case FaultKind::kWrongType:
      case FaultKind::kLoseReply:
      case FaultKind::kStraySender:
        break;
    }
  }
  bytes.insert(bytes.begin(), prefix.begin(), prefix.end());
  if (plan.send) {
    if (chunked == nullptr) {
      plan.pieces.push_back(WirePiece{delay_ms, std::move(bytes)});
    } else {
      size_t at = 0;
      size_t index = 0;
      while (at < bytes.size()) {
        size_t size =
            static_cast<size_t>(chunked->chunks[std::min(index, chunked->chunks.size() - 1)]);
        size = std::min(size, bytes.size() - at);
        int pause = index == 0 ? delay_ms : chunked->pause_ms;
        plan.pieces.push_back(
            WirePiece{pause, Bytes(bytes.begin() + at, bytes.begin() + at + size)});
        at += size;
        ++index;
      }
    }
  }
  UseUp(&active_, /*datagram_faults=*/false, std::move(waiting));
  return plan;
}

}  // namespace zel::sim
