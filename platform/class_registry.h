// The class registry: creates automation objects by class id or programmatic identifier
// ("Corvane.ZelServer"). Classes with one instance per process register a singleton factory: the
// first creation makes the object and the registry keeps it; every later creation returns the
// same object.
//
// Thread contract: Register* at start-up (static initialisers or main) and from tests; Create*
// from any thread. Singleton creation happens once even under concurrent first calls.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"
#include "platform/unknown.h"

namespace zel {

// Makes a new object and returns its IUnknown with one reference.
using ObjectFactory = std::function<HRESULT(IUnknown** object)>;

class ClassRegistry {
 public:
  static ClassRegistry& Instance();

  // Registers a class. A second registration of the same class id replaces the first.
  void Register(const CLSID& clsid, std::string prog_id, ObjectFactory factory,
                bool singleton = false);
  void Unregister(const CLSID& clsid);

  // Creates (or, for singletons, returns) the object and queries it for iid.
  // Unknown class: REGDB_E_CLASSNOTREG. Unknown prog id: CO_E_CLASSSTRING.
  HRESULT Create(const CLSID& clsid, const IID& iid, void** ppv);
  HRESULT CreateByProgId(std::string_view prog_id, const IID& iid, void** ppv);
  // Accepts a prog id (case-insensitive) or a braced class id text.
  HRESULT ClassIdFromText(std::string_view text, CLSID* clsid);
  std::string ProgIdOf(const CLSID& clsid);
  // Every registered class id, in registration order.
  std::vector<CLSID> ClassIds();

  // Drops the cached singleton objects (tests; process end).
  void ReleaseSingletons();

  template <class I>
  HRESULT Create(const CLSID& clsid, ComPtr<I>* out) {
    if (out == nullptr) return E_POINTER;
    return Create(clsid, I::kIid, out->ReceiveVoid());
  }

 private:
  struct Entry {
    CLSID clsid;
    std::string prog_id;
    ObjectFactory factory;
    bool singleton = false;
    ComPtr<IUnknown> instance;  // the cached singleton
  };
  Entry* Find(const CLSID& clsid) ZEL_REQUIRES(mu_);

  Mutex mu_;
  std::vector<std::unique_ptr<Entry>> entries_ ZEL_GUARDED_BY(mu_);
};

// Factory helper for a class T created with MakeObject<T>().
template <class T>
ObjectFactory FactoryOf() {
  return [](IUnknown** object) -> HRESULT {
    ComPtr<T> created = MakeObject<T>();
    return created->QueryInterface(IUnknown::kIid, reinterpret_cast<void**>(object));
  };
}

}  // namespace zel
