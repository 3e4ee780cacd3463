#include "server/name_records.h"

#include <array>

namespace zel {
namespace {

// Frames whose length byte says the number is one byte (13- and 16-byte name fields).
constexpr uint8_t kShortNumberLength13 = 16;
constexpr uint8_t kShortNumberLength16 = 19;

template <size_t N>
void PutLe(std::array<uint8_t, N>& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe(const uint8_t* bytes, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint32_t{bytes[i]} << (8 * i);
  return v;
}

// Reads exactly `size` bytes: S_OK, S_FALSE when the stream ends first, or the read's failure.
HRESULT ReadField(IStream* stream, void* buffer, uint32_t size) {
  uint32_t got = 0;
  ZEL_TRY(stream->Read(buffer, size, &got));
  return got == size ? S_OK : S_FALSE;
}

// The bytes left in the stream: a text length beyond them cannot be read whole, so the record
// is cut without allocating what its length field claims.
HRESULT Remaining(IStream* stream, uint64_t* left) {
  uint64_t position = 0;
  uint64_t size = 0;
  ZEL_TRY(stream->Seek(0, SeekOrigin::kCurrent, &position));
  ZEL_TRY(stream->GetSize(&size));
  *left = size > position ? size - position : 0;
  return S_OK;
}

HRESULT ReadText(IStream* stream, uint32_t length, std::string* text) {
  uint64_t left = 0;
  ZEL_TRY(Remaining(stream, &left));
  if (length > left) return S_FALSE;
  text->assign(length, '\0');
  if (length == 0) return S_OK;
  return ReadField(stream, text->data(), length);
}

}  // namespace

HRESULT WriteNameRecord(IStream* stream, const NameRecord& record) {
  std::array<uint8_t, 10> head{};
  PutLe(head, 0, record.type, 4);
  PutLe(head, 4, record.number, 2);
  PutLe(head, 6, record.text.size(), 4);
  ZEL_TRY(WriteAll(stream, head.data(), head.size()));
  if (record.text.empty()) return S_OK;
  return WriteAll(stream, record.text.data(), static_cast<uint32_t>(record.text.size()));
}

HRESULT ReadNameRecord(IStream* stream, NameRecord* record) {
  std::array<uint8_t, 10> head{};
  HRESULT hr = ReadField(stream, head.data(), head.size());
  if (hr != S_OK) return hr;
  NameRecord read;
  read.type = GetLe(head.data(), 4);
  read.number = static_cast<uint16_t>(GetLe(head.data() + 4, 2));
  hr = ReadText(stream, GetLe(head.data() + 6, 4), &read.text);
  if (hr != S_OK) return hr;
  *record = std::move(read);
  return S_OK;
}

HRESULT WriteFriendlyNameRecord(IStream* stream, const FriendlyNameRecord& record) {
  std::array<uint8_t, 14> head{};
  PutLe(head, 0, record.type, 4);
  PutLe(head, 4, record.number, 2);
  PutLe(head, 6, record.display, 4);
  PutLe(head, 10, record.text.size(), 4);
  ZEL_TRY(WriteAll(stream, head.data(), head.size()));
  if (record.text.empty()) return S_OK;
  return WriteAll(stream, record.text.data(), static_cast<uint32_t>(record.text.size()));
}

HRESULT ReadFriendlyNameRecord(IStream* stream, FriendlyNameRecord* record) {
  std::array<uint8_t, 14> head{};
  // A short type field is the normal end of the stream.
  HRESULT hr = ReadField(stream, head.data(), 4);
  if (hr != S_OK) return hr;
  hr = ReadField(stream, head.data() + 4, 10);
  if (Failed(hr)) return hr;
  if (hr == S_FALSE) return E_UNEXPECTED;
  FriendlyNameRecord read;
  read.type = GetLe(head.data(), 4);
  read.number = static_cast<uint16_t>(GetLe(head.data() + 4, 2));
  read.display = GetLe(head.data() + 6, 4);
  hr = ReadText(stream, GetLe(head.data() + 10, 4), &read.text);
  if (Failed(hr)) return hr;
  if (hr == S_FALSE) return E_UNEXPECTED;
  *record = std::move(read);
  return S_OK;
}

HRESULT ParseNameFrame(const uint8_t* frame, NameRecord* record) {
  if (frame == nullptr || record == nullptr) return E_POINTER;
  uint8_t length = frame[1];
  bool short_number = length == kShortNumberLength13 || length == kShortNumberLength16;
  size_t text_at = short_number ? 5 : 6;
  // The data end at offset length + 1; a frame must reach past its number.
  size_t data_end = size_t{length} + 2;
  if (data_end < text_at) return E_FAIL;
  NameRecord parsed;
  parsed.type = frame[3];
  parsed.number = short_number ? frame[4] : static_cast<uint16_t>(frame[4] << 8 | frame[5]);
  for (size_t i = text_at; i < data_end && frame[i] != 0; ++i) {
    parsed.text.push_back(static_cast<char>(frame[i]));
  }
  *record = std::move(parsed);
  return S_OK;
}

}  // namespace zel
