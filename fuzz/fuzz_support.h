// What the fuzz entry points share: a reader that splits one input into a selector and fields,
// and an in-memory local store whose streams hold fuzzed bytes.
//
// Thread contract: a FuzzInput is used by one thread. A MemoryStorage serialises its own
// operations with mu_; its streams are used by one thread at a time, as the store's are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/storage.h"
#include "platform/sync.h"

namespace zel::fuzz {

using Bytes = std::vector<uint8_t>;

// The session key of the network fuzz inputs: the seed generator seals with it, the link target
// opens with it.
inline constexpr std::array<uint8_t, 16> kFuzzSessionKey = {
    0x3C, 0x91, 0x0E, 0xA7, 0x52, 0xD8, 0x1B, 0x66, 0xF4, 0x29, 0x8D, 0xC3, 0x07, 0xBE, 0x45, 0x7A};

// Takes leading fields from an input; past its end every field reads 0.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  // Up to n bytes.
  Bytes Take(size_t n);
  // Everything not taken yet.
  Bytes Rest() { return Take(size_ - at_); }
  std::string_view RestText() const {
    return std::string_view(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
  }
  size_t left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A local store in memory: named streams at the root, created, opened (at position 0, sharing
// the stored bytes) and destroyed as in the compound file; commits do nothing.
class MemoryStorage final : public IStorage {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStorage>(this, iid, ppv);
  }
  HRESULT CreateStream(std::string_view name, IStream** stream) override;
  HRESULT OpenStream(std::string_view name, IStream** stream) override;
  HRESULT DestroyElement(std::string_view name) override;
  HRESULT EnumStreams(std::vector<std::string>* names) override;
  HRESULT Commit() override { return S_OK; }
  void BeginCommitGroup() override {}
  HRESULT EndCommitGroup() override { return S_OK; }

  // Sets a stream's bytes.
  void Put(std::string_view name, Bytes bytes);
  // A stream's bytes; empty when there is none.
  Bytes Get(std::string_view name);
  bool Has(std::string_view name);

 private:
  Mutex mu_;
  std::map<std::string, ComPtr<MemoryStream>, std::less<>> streams_ ZEL_GUARDED_BY(mu_);
};

// Sends the system log nowhere: a fuzzer provokes every warning there is, millions of times.
void QuietSystemLog();

// Reads every property of an object that takes no argument, as a client listing it would.
void ReadProperties(IDispatch* object);

// All the bytes of a stream from its start; empty when it cannot be read.
Bytes ReadWholeStream(IStream* stream);

}  // namespace zel::fuzz
