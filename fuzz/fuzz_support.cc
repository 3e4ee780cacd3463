#include "fuzz/fuzz_support.h"

#include <algorithm>

#include "platform/system_log.h"

namespace zel::fuzz {

Bytes FuzzInput::Take(size_t n) {
  n = std::min(n, size_ - at_);
  Bytes out(data_ + at_, data_ + at_ + n);
  at_ += n;
  return out;
}

HRESULT MemoryStorage::CreateStream(std::string_view name, IStream** stream) {
  if (stream == nullptr) return E_POINTER;
  if (name.empty() || name.size() > 31) return STG_E_INVALIDNAME;
  ComPtr<MemoryStream> made = MakeObject<MemoryStream>();
  {
    MutexLock g(&mu_);
    streams_[std::string(name)] = made;
  }
  *stream = made.Detach();
  return S_OK;
}

HRESULT MemoryStorage::OpenStream(std::string_view name, IStream** stream) {
  if (stream == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  auto it = streams_.find(name);
  if (it == streams_.end()) return STG_E_FILENOTFOUND;
  (void)it->second->Seek(0, SeekOrigin::kSet, nullptr);
  it->second->AddRef();
  *stream = it->second.get();
  return S_OK;
}

HRESULT MemoryStorage::DestroyElement(std::string_view name) {
  MutexLock g(&mu_);
  auto it = streams_.find(name);
  if (it == streams_.end()) return STG_E_FILENOTFOUND;
  streams_.erase(it);
  return S_OK;
}

HRESULT MemoryStorage::EnumStreams(std::vector<std::string>* names) {
  if (names == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  names->clear();
  for (const auto& [name, stream] : streams_) names->push_back(name);
  return S_OK;
}

void MemoryStorage::Put(std::string_view name, Bytes bytes) {
  MutexLock g(&mu_);
  streams_[std::string(name)] = MakeObject<MemoryStream>(std::move(bytes));
}

Bytes MemoryStorage::Get(std::string_view name) {
  MutexLock g(&mu_);
  auto it = streams_.find(name);
  return it == streams_.end() ? Bytes() : it->second->data();
}

bool MemoryStorage::Has(std::string_view name) {
  MutexLock g(&mu_);
  return streams_.find(name) != streams_.end();
}

void QuietSystemLog() {
  SetSystemLogSinkForTesting([](const SystemLogReport&) {});
}

void ReadProperties(IDispatch* object) {
  if (object == nullptr) return;
  const MemberTable* table = object->GetMemberTable();
  if (table == nullptr) return;
  for (const MemberInfo& member : table->members()) {
    const Accessor* get = member.Find(DISPATCH_PROPERTYGET);
    if (get == nullptr || !get->params.empty()) continue;
    Variant value;
    (void)object->Invoke(member.dispid, DISPATCH_PROPERTYGET, {}, &value);
  }
}

Bytes ReadWholeStream(IStream* stream) {
  uint64_t size = 0;
  if (Failed(stream->Seek(0, SeekOrigin::kSet, nullptr)) || Failed(stream->GetSize(&size)) ||
      size > (1u << 24)) {
    return {};
  }
  Bytes bytes(static_cast<size_t>(size));
  if (Failed(ReadExact(stream, bytes.data(), static_cast<uint32_t>(size)))) return {};
  return bytes;
}

}  // namespace zel::fuzz
