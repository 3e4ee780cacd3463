// Byte streams (the IStream contract) and an in-memory stream.
//
// Streams of the local store, memory streams and the settings streams of the transports share
// this interface. Read reports how many bytes it delivered (a short read is not an error: the
// caller compares the count); Write reports how many it wrote.
//
// Thread contract: one stream object is used by one thread at a time (callers serialise).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/bstr.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace zel {

enum class SeekOrigin : uint32_t { kSet = 0, kCurrent = 1, kEnd = 2 };

struct IStream : IUnknown {
  static constexpr IID kIid = MakeGuid(0x0000000C, 0x0000, 0x0000, 0xC000000000000046);
  // Reads up to `size` bytes; *read (may be null) receives the count delivered.
  virtual HRESULT Read(void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) = 0;
  // Moves the position; seeking before the start is STG_E_INVALIDFUNCTION.
  virtual HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) = 0;
  virtual HRESULT SetSize(uint64_t size) = 0;
  virtual HRESULT GetSize(uint64_t* size) = 0;
  // Makes the written data durable (for streams of the local store: see storage.h).
  virtual HRESULT Commit() = 0;
};

// A growable in-memory stream.
class MemoryStream final : public IStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStream>(this, iid, ppv);
  }
  HRESULT Read(void* buffer, uint32_t size, uint32_t* read) override;
  HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) override;
  HRESULT Seek(int64_t offset, SeekOrigin origin, uint64_t* new_position) override;
  HRESULT SetSize(uint64_t size) override;
  HRESULT GetSize(uint64_t* size) override;
  HRESULT Commit() override { return S_OK; }

  const std::vector<uint8_t>& data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  uint64_t position_ = 0;
};

// Exact reads and writes: anything short is a failure (STG_E_READFAULT / STG_E_WRITEFAULT)
// unless the stream already reported one.
HRESULT ReadExact(IStream* stream, void* buffer, uint32_t size);
HRESULT WriteAll(IStream* stream, const void* buffer, uint32_t size);

// The platform's standard stream forms used by persisted objects:
//   string:  32-bit byte count of the UTF-16 text including its terminating zero character,
//            then the UTF-16LE characters and the zero; a null string is the count 0 alone.
//   variant: 16-bit type tag, then the value: fixed-size scalars as their bytes (little-endian),
//            strings in the string form above; other types are refused with DISP_E_BADVARTYPE.
HRESULT WriteStringToStream(IStream* stream, const BStr& value);
HRESULT ReadStringFromStream(IStream* stream, BStr* value);
HRESULT WriteVariantToStream(IStream* stream, const Variant& value);
HRESULT ReadVariantFromStream(IStream* stream, Variant* value);
// Bytes the forms above take for a value.
uint64_t StringStreamSize(const BStr& value);
uint64_t VariantStreamSize(const Variant& value);

}  // namespace zel
