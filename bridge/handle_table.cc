#include "bridge/handle_table.h"

#include "bridge/protocol.h"
#include "platform/sync.h"

namespace zel::bridge {

HandleTable::~HandleTable() { Close(); }

HRESULT HandleTable::HandleFor(IDispatch* object, std::string* handle) {
  if (object == nullptr || handle == nullptr) return E_POINTER;
  // Identity is the IUnknown pointer the object answers, as the platform defines it.
  ComPtr<IUnknown> identity;
  if (Failed(object->QueryInterface(IUnknown::kIid, identity.ReceiveVoid())) || !identity) {
    identity = ComPtr<IUnknown>(object);
  }
  MutexLock g(&mu_);
  if (closed_) return E_SRV_SESSION_EXPIRED;
  auto found = by_identity_.find(identity.get());
  if (found != by_identity_.end()) {
    *handle = found->second;
    return S_OK;
  }
  if (by_handle_.size() >= limit_) return E_BRIDGE_HANDLE_LIMIT;
  std::string name = "h" + std::to_string(next_++);
  by_handle_.emplace(name, Entry{ComPtr<IDispatch>(object), identity.get()});
  by_identity_.emplace(identity.get(), name);
  *handle = std::move(name);
  return S_OK;
}

HRESULT HandleTable::ObjectFor(const std::string& handle, ComPtr<IDispatch>* object) {
  if (object == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return E_HANDLE;
  *object = it->second.object;
  return S_OK;
}

HRESULT HandleTable::Release(const std::string& handle) {
  ComPtr<IDispatch> dropped;  // released after the lock
  MutexLock g(&mu_);
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return E_HANDLE;
  dropped = std::move(it->second.object);
  by_identity_.erase(it->second.identity);
  by_handle_.erase(it);
  return S_OK;
}

void HandleTable::Close() {
  std::map<std::string, Entry> dropped;
  {
    MutexLock g(&mu_);
    closed_ = true;
    dropped.swap(by_handle_);
    by_identity_.clear();
  }
}

size_t HandleTable::size() const {
  MutexLock g(&mu_);
  return by_handle_.size();
}

}  // namespace zel::bridge
