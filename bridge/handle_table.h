// HandleTable: the objects one client session holds, named "h1", "h2", ... in the order they were
// first handed out. The same object (by identity) always gets the same handle while the session
// holds it, so reading a property twice does not use up handles. Each handle keeps one reference
// to its object until it is released or the table is cleared.
//
// The number of handles is bounded; past the limit HandleFor fails with E_BRIDGE_HANDLE_LIMIT.
//
// Thread contract: all members are safe from any thread (mu_ guards the maps). Objects are
// released outside the lock, since a release may run arbitrary code in the object.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/variant_json.h"
#include "platform/sync.h"

namespace zel::bridge {

class HandleTable : public ObjectResolver {
 public:
  explicit HandleTable(size_t limit) : limit_(limit) {}
  ~HandleTable() override;

  HRESULT HandleFor(IDispatch* object, std::string* handle) override;
  HRESULT ObjectFor(const std::string& handle, ComPtr<IDispatch>* object) override;

  // Drops one handle; E_HANDLE when it is unknown.
  HRESULT Release(const std::string& handle);
  // Drops every handle and refuses new ones from then on (session end).
  void Close();
  size_t size() const;

 private:
  struct Entry {
    ComPtr<IDispatch> object;
    IUnknown* identity;  // the object's IUnknown, for finding it again
  };

  const size_t limit_;
  mutable Mutex mu_;
  bool closed_ ZEL_GUARDED_BY(mu_) = false;
  uint64_t next_ ZEL_GUARDED_BY(mu_) = 1;
  std::map<std::string, Entry> by_handle_ ZEL_GUARDED_BY(mu_);
  std::map<IUnknown*, std::string> by_identity_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel::bridge
