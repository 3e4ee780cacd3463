// What the serial and the network transport share about their settings and their members:
//   - TransportSettings<Derived, kClassId>: IPersistStreamInit over the class's property map
//     (link/property_map_stream.h), the changed-settings flag, and ChangeSetting, the one way a
//     put stores a value it has checked: the link closes first (a session never runs on settings
//     it was not opened with), then the value is stored and the settings count as changed.
//   - CommHandlerMembers<T>: the IZelCommHandler rows every transport's member table starts with.
//
// Derived provides PropertyMap() (its persisted properties in stream order), request_lock_ (its
// recursive request lock) and Disconnect(), and befriends TransportSettings.
//
// Thread contract: as Derived's. Load and Save go through Derived's puts and gets, which take the
// locks they need; ChangeSetting takes request_lock_ itself; dirty_ is atomic.
#pragma once

#include <atomic>
#include <string>

#include "link/property_map_stream.h"
#include "platform/dispatch.h"
#include "platform/persist.h"
#include "platform/sync.h"

namespace zel {

template <class Derived, const CLSID& kClassId>
class TransportSettings : public IPersistStreamInit {
 public:
  HRESULT GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = kClassId;
    return S_OK;
  }
  HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  HRESULT Load(IStream* stream) override {
    ZEL_TRY(LoadPropertyMap(stream, self().PropertyMap()));
    dirty_ = false;
    return S_OK;
  }
  HRESULT Save(IStream* stream, bool clear_dirty) override {
    ZEL_TRY(SavePropertyMap(stream, self().PropertyMap()));
    if (clear_dirty) dirty_ = false;
    return S_OK;
  }
  HRESULT GetSizeMax(uint64_t* size) override {
    return PropertyMapSizeMax(self().PropertyMap(), size);
  }
  // Keeps the current values.
  HRESULT InitNew() override { return S_OK; }

 protected:
  // Disconnects (its result ignored), then runs `store`, which returns a status; on success the
  // settings count as changed.
  template <class Store>
  HRESULT ChangeSetting(Store store) {
    MutexLock hold(&self().request_lock_);
    (void)self().Disconnect();
    HRESULT hr = store();
    if (Succeeded(hr)) dirty_ = true;
    return hr;
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }

  std::atomic<bool> dirty_{false};
};

// The members of IZelCommHandler: a transport's table goes on with its own settings.
template <class T>
MemberTableBuilder<T> CommHandlerMembers(std::string type_name) {
  MemberTableBuilder<T> builder(std::move(type_name));
  builder.Get(Role::kRead, "Name", 0x5C0, &T::get_Name)
      .Get(Role::kRead, "Description", 0x5C1, &T::get_Description)
      .Method(Role::kAdmin, "Connect", 0x60020003, &T::Connect)
      .Method(Role::kAdmin, "Disconnect", 0x60020004, &T::Disconnect)
      .Method(Role::kInProcess, "BeginAtomicRequest", 0x60020005, &T::BeginAtomicRequest)
      .Method(Role::kInProcess, "EndAtomicRequest", 0x60020006, &T::EndAtomicRequest);
  return builder;
}

}  // namespace zel
