#include "platform/class_registry.h"

#include "platform/sync.h"
#include "platform/text_encoding.h"

namespace zel {

ClassRegistry& ClassRegistry::Instance() {
  static ClassRegistry* registry = new ClassRegistry();  // never destroyed: used at exit
  return *registry;
}

ClassRegistry::Entry* ClassRegistry::Find(const CLSID& clsid) {
  for (auto& e : entries_) {
    if (e->clsid == clsid) return e.get();
  }
  return nullptr;
}

void ClassRegistry::Register(const CLSID& clsid, std::string prog_id, ObjectFactory factory,
                             bool singleton) {
  ComPtr<IUnknown> old_instance;
  MutexLock g(&mu_);
  if (Entry* e = Find(clsid)) {
    old_instance = std::move(e->instance);
    e->prog_id = std::move(prog_id);
    e->factory = std::move(factory);
    e->singleton = singleton;
    return;
  }
  auto e = std::make_unique<Entry>();
  e->clsid = clsid;
  e->prog_id = std::move(prog_id);
  e->factory = std::move(factory);
  e->singleton = singleton;
  entries_.push_back(std::move(e));
}

void ClassRegistry::Unregister(const CLSID& clsid) {
  std::unique_ptr<Entry> removed;
  MutexLock g(&mu_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->clsid == clsid) {
      removed = std::move(*it);
      entries_.erase(it);
      return;
    }
  }
}

HRESULT ClassRegistry::Create(const CLSID& clsid, const IID& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ComPtr<IUnknown> object;
  {
    MutexLock g(&mu_);
    Entry* e = Find(clsid);
    if (e == nullptr) return REGDB_E_CLASSNOTREG;
    if (e->singleton) {
      // Creation runs under the registry lock so two first callers get the same object.
      if (!e->instance) {
        IUnknown* created = nullptr;
        ZEL_TRY(e->factory(&created));
        if (created == nullptr) return E_UNEXPECTED;
        e->instance = ComPtr<IUnknown>::Adopt(created);
      }
      object = e->instance;
    } else {
      ObjectFactory factory = e->factory;
      g.Unlock();
      IUnknown* created = nullptr;
      ZEL_TRY(factory(&created));
      if (created == nullptr) return E_UNEXPECTED;
      object = ComPtr<IUnknown>::Adopt(created);
    }
  }
  return object->QueryInterface(iid, ppv);
}

std::vector<CLSID> ClassRegistry::ClassIds() {
  MutexLock g(&mu_);
  std::vector<CLSID> ids;
  for (const auto& e : entries_) ids.push_back(e->clsid);
  return ids;
}

HRESULT ClassRegistry::ClassIdFromText(std::string_view text, CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  if (!text.empty() && text.front() == '{') return ParseGuid(text, clsid);
  MutexLock g(&mu_);
  for (auto& e : entries_) {
    if (EqualsIgnoreAsciiCase(e->prog_id, text)) {
      *clsid = e->clsid;
      return S_OK;
    }
  }
  return CO_E_CLASSSTRING;
}

HRESULT ClassRegistry::CreateByProgId(std::string_view prog_id, const IID& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CLSID clsid;
  ZEL_TRY(ClassIdFromText(prog_id, &clsid));
  return Create(clsid, iid, ppv);
}

std::string ClassRegistry::ProgIdOf(const CLSID& clsid) {
  MutexLock g(&mu_);
  Entry* e = Find(clsid);
  return e ? e->prog_id : std::string();
}

void ClassRegistry::ReleaseSingletons() {
  std::vector<ComPtr<IUnknown>> dropped;
  {
    MutexLock g(&mu_);
    for (auto& e : entries_) dropped.push_back(std::move(e->instance));
  }
}

}  // namespace zel
