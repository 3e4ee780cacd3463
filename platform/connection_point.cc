#include "platform/connection_point.h"

#include <algorithm>

#include "platform/sync.h"

namespace zel {

HRESULT ConnectionPoint::QueryInterface(const IID& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (iid == IUnknown::kIid || iid == IConnectionPoint::kIid) {
    AddRef();
    *ppv = static_cast<IConnectionPoint*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  ComPtr<IDispatch> dispatch;
  // The outgoing interface is a dispatch interface: a sink answering its id is an IDispatch.
  if (Failed(sink->QueryInterface(iid_, dispatch.ReceiveVoid())) &&
      Failed(sink->QueryInterface(IDispatch::kIid, dispatch.ReceiveVoid()))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  MutexLock g(&mu_);
  *cookie = next_cookie_++;
  sinks_.push_back(Connection{*cookie, std::move(dispatch)});
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
  ComPtr<IDispatch> released;  // released after the lock is dropped
  MutexLock g(&mu_);
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [&](const Connection& c) { return c.cookie == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  released = std::move(it->sink);
  sinks_.erase(it);
  return S_OK;
}

size_t ConnectionPoint::Count() const {
  MutexLock g(&mu_);
  return sinks_.size();
}

std::vector<ComPtr<IDispatch>> ConnectionPoint::Sinks() const {
  std::vector<ComPtr<IDispatch>> snapshot;
  MutexLock g(&mu_);
  snapshot.reserve(sinks_.size());
  for (const Connection& c : sinks_) snapshot.push_back(c.sink);
  return snapshot;
}

void ConnectionPoint::Fire(DISPID dispid, std::span<const Variant> args) {
  std::vector<ComPtr<IDispatch>> snapshot = Sinks();
  // A sink that fails, or throws, does not keep the event from the sinks after it.
  for (const ComPtr<IDispatch>& sink : snapshot) {
    try {
      (void)sink->Invoke(dispid, DISPATCH_METHOD, args, nullptr);
    } catch (...) {
    }
  }
}

void ConnectionPoint::UnadviseAll() {
  std::vector<Connection> dropped;
  {
    MutexLock g(&mu_);
    dropped.swap(sinks_);
  }
}

}  // namespace zel
