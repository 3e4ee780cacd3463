#include "events/events_format.h"

#include <algorithm>
#include <cstring>

#include "platform/text_encoding.h"

namespace zel {
namespace {

void PutLe(std::vector<uint8_t>* out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A bounds-checked reader over the stream's bytes.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Le(int width, uint64_t* value) {
    if (bytes_.size() - at_ < static_cast<size_t>(width)) return false;
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += width;
    *value = v;
    return true;
  }
  bool Take(size_t n, std::span<const uint8_t>* out) {
    if (bytes_.size() - at_ < n) return false;
    *out = bytes_.subspan(at_, n);
    at_ += n;
    return true;
  }
  size_t at() const { return at_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// One entry; kNone with the entry filled, or the fault that stopped it.
StoredLogFault DecodeEntry(Cursor* in, EntryValues* entry) {
  uint64_t type = 0;
  uint64_t vt = 0;
  if (!in->Le(4, &type) || !in->Le(2, &vt)) return StoredLogFault::kCut;
  if (vt == VT_DATE) {
    uint64_t bits = 0;
    if (!in->Le(8, &bits)) return StoredLogFault::kCut;
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    entry->time = Variant::FromDate(Date{value});
  } else if (vt == VT_BSTR) {
    uint64_t length = 0;
    if (!in->Le(4, &length)) return StoredLogFault::kCut;
    if (length == 0) {
      entry->time = Variant::Str(BStr());
    } else {
      if (length % 2 != 0) return StoredLogFault::kBadTime;
      std::span<const uint8_t> text;
      if (!in->Take(length, &text)) return StoredLogFault::kCut;
      std::u16string wide;
      for (size_t i = 0; i + 2 < text.size(); i += 2) {
        wide.push_back(static_cast<char16_t>(text[i] | text[i + 1] << 8));
      }
      entry->time = Variant::Str(BStr(Utf16ToUtf8(wide)));
    }
  } else {
    return StoredLogFault::kBadTime;
  }
  uint64_t data = 0;
  if (!in->Le(4, &data)) return StoredLogFault::kCut;
  // The type as the 32-bit signed integer it was stored from.
  entry->type = Variant::I4(static_cast<int32_t>(static_cast<uint32_t>(type)));
  entry->data = Variant::UI4(static_cast<uint32_t>(data));
  return StoredLogFault::kNone;
}

}  // namespace

HRESULT EncodeStoredEntry(const EntryValues& entry, std::vector<uint8_t>* out) {
  const Variant& time = entry.time;
  if (time.vt() != VT_DATE && time.vt() != VT_BSTR) return DISP_E_BADVARTYPE;
  Variant type;
  Variant data;
  ZEL_TRY(ChangeType(entry.type, VT_I4, &type));
  ZEL_TRY(ChangeType(entry.data, VT_UI4, &data));
  PutLe(out, static_cast<uint32_t>(type.i4()), 4);
  PutLe(out, time.vt(), 2);
  if (time.vt() == VT_DATE) {
    uint64_t bits = 0;
    double value = time.date().value;
    std::memcpy(&bits, &value, sizeof bits);
    PutLe(out, bits, 8);
  } else if (time.bstr().IsNull()) {
    PutLe(out, 0, 4);
  } else {
    std::u16string wide = Utf8ToUtf16(time.bstr().str());
    PutLe(out, 2 * (wide.size() + 1), 4);
    for (char16_t c : wide) PutLe(out, c, 2);
    PutLe(out, 0, 2);
  }
  PutLe(out, data.ui4(), 4);
  return S_OK;
}

DecodedLog DecodeStoredLog(std::span<const uint8_t> bytes) {
  DecodedLog log;
  Cursor in(bytes);
  uint64_t count = 0;
  if (!in.Le(4, &count)) {
    log.fault = StoredLogFault::kCountMissing;
    log.end = 0;
    return log;
  }
  log.declared = static_cast<uint32_t>(count);
  // Every entry takes at least 14 bytes, so a count beyond that cannot be met: reserve only
  // what the bytes can hold.
  log.entries.reserve(std::min<uint64_t>(count, bytes.size() / 14));
  for (uint64_t i = 0; i < count; ++i) {
    EntryValues entry;
    StoredLogFault fault = DecodeEntry(&in, &entry);
    if (fault != StoredLogFault::kNone) {
      log.fault = fault;
      return log;
    }
    log.entries.push_back(std::move(entry));
    log.end = in.at();
  }
  return log;
}

}  // namespace zel
