#include "platform/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/text_encoding.h"

namespace zel {

HRESULT MemoryStream::Read(void* buffer, uint32_t size, uint32_t* read) {
  if (read) *read = 0;
  if (buffer == nullptr && size > 0) return STG_E_INVALIDPOINTER;
  uint64_t available = position_ < data_.size() ? data_.size() - position_ : 0;
  uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, available));
  if (n) std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  if (read) *read = n;
  return S_OK;
}

HRESULT MemoryStream::Write(const void* buffer, uint32_t size, uint32_t* written) {
  if (written) *written = 0;
  if (buffer == nullptr && size > 0) return STG_E_INVALIDPOINTER;
  if (position_ + size > data_.size()) data_.resize(position_ + size);
  if (size) std::memcpy(data_.data() + position_, buffer, size);
  position_ += size;
  if (written) *written = size;
  return S_OK;
}

HRESULT MemoryStream::Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) {
  int64_t base = origin == SeekOrigin::kSet       ? 0
                 : origin == SeekOrigin::kCurrent ? static_cast<int64_t>(position_)
                                                  : static_cast<int64_t>(data_.size());
  if (origin != SeekOrigin::kSet && origin != SeekOrigin::kCurrent && origin != SeekOrigin::kEnd) {
    return STG_E_INVALIDFUNCTION;
  }
  int64_t target = base + offset;
  if (target < 0) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<uint64_t>(target);
  if (new_position) *new_position = position_;
  return S_OK;
}

HRESULT MemoryStream::SetSize(uint64_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) return STG_E_MEDIUMFULL;
  data_.resize(size);
  return S_OK;
}

HRESULT MemoryStream::GetSize(uint64_t* size) {
  if (size == nullptr) return E_POINTER;
  *size = data_.size();
  return S_OK;
}

HRESULT ReadExact(IStream* stream, void* buffer, uint32_t size) {
  if (stream == nullptr) return E_POINTER;
  uint32_t got = 0;
  ZEL_TRY(stream->Read(buffer, size, &got));
  return got == size ? S_OK : STG_E_READFAULT;
}

HRESULT WriteAll(IStream* stream, const void* buffer, uint32_t size) {
  if (stream == nullptr) return E_POINTER;
  uint32_t put = 0;
  ZEL_TRY(stream->Write(buffer, size, &put));
  return put == size ? S_OK : STG_E_WRITEFAULT;
}

namespace {

size_t FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return 0;
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
      return 8;
    default:
      return SIZE_MAX;
  }
}

}  // namespace

uint64_t StringStreamSize(const BStr& value) {
  if (value.IsNull()) return 4;
  return 4 + 2 * (Utf8ToUtf16(value.str()).size() + 1);
}

HRESULT WriteStringToStream(IStream* stream, const BStr& value) {
  if (value.IsNull()) {
    uint8_t zero[4] = {0, 0, 0, 0};
    return WriteAll(stream, zero, 4);
  }
  std::u16string wide = Utf8ToUtf16(value.str());
  uint32_t bytes = static_cast<uint32_t>(2 * (wide.size() + 1));
  std::vector<uint8_t> out(4 + bytes);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bytes >> (8 * i));
  for (size_t i = 0; i < wide.size(); ++i) {
    out[4 + 2 * i] = static_cast<uint8_t>(wide[i]);
    out[5 + 2 * i] = static_cast<uint8_t>(wide[i] >> 8);
  }
  return WriteAll(stream, out.data(), static_cast<uint32_t>(out.size()));
}

HRESULT ReadStringFromStream(IStream* stream, BStr* value) {
  if (value == nullptr) return E_POINTER;
  uint8_t len_bytes[4];
  ZEL_TRY(ReadExact(stream, len_bytes, 4));
  uint32_t bytes = uint32_t{len_bytes[0]} | uint32_t{len_bytes[1]} << 8 |
                   uint32_t{len_bytes[2]} << 16 | uint32_t{len_bytes[3]} << 24;
  if (bytes == 0) {
    *value = BStr();
    return S_OK;
  }
  // A string longer than 16 MiB in a settings stream is corruption, not data.
  if (bytes % 2 != 0 || bytes > (16u << 20)) return STG_E_DOCFILECORRUPT;
  std::vector<uint8_t> raw(bytes);
  ZEL_TRY(ReadExact(stream, raw.data(), bytes));
  std::u16string wide(bytes / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
  }
  if (!wide.empty() && wide.back() == u'\0') wide.pop_back();
  *value = BStr(Utf16ToUtf8(wide));
  return S_OK;
}

uint64_t VariantStreamSize(const Variant& value) {
  if (value.vt() == VT_BSTR) return 2 + StringStreamSize(value.bstr());
  size_t n = FixedSize(value.vt());
  return n == SIZE_MAX ? 2 : 2 + n;
}

HRESULT WriteVariantToStream(IStream* stream, const Variant& value) {
  VARTYPE vt = value.vt();
  uint8_t tag[2] = {static_cast<uint8_t>(vt), static_cast<uint8_t>(vt >> 8)};
  if (vt == VT_BSTR) {
    ZEL_TRY(WriteAll(stream, tag, 2));
    return WriteStringToStream(stream, value.bstr());
  }
  size_t n = FixedSize(vt);
  if (n == SIZE_MAX) return DISP_E_BADVARTYPE;
  ZEL_TRY(WriteAll(stream, tag, 2));
  std::array<uint8_t, 16> raw = value.ToRawBytes();
  return WriteAll(stream, raw.data() + 8, static_cast<uint32_t>(n));
}

HRESULT ReadVariantFromStream(IStream* stream, Variant* value) {
  if (value == nullptr) return E_POINTER;
  uint8_t tag[2];
  ZEL_TRY(ReadExact(stream, tag, 2));
  VARTYPE vt = static_cast<VARTYPE>(tag[0] | tag[1] << 8);
  if (vt == VT_BSTR) {
    BStr s;
    ZEL_TRY(ReadStringFromStream(stream, &s));
    *value = Variant::Str(std::move(s));
    return S_OK;
  }
  size_t n = FixedSize(vt);
  if (n == SIZE_MAX) return DISP_E_BADVARTYPE;
  std::array<uint8_t, 16> raw{};
  raw[0] = tag[0];
  raw[1] = tag[1];
  if (n) ZEL_TRY(ReadExact(stream, raw.data() + 8, static_cast<uint32_t>(n)));
  *value = Variant::FromRawBytes(raw.data());
  return S_OK;
}

}  // namespace zel
