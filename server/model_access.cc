// What the object model reaches through the server beyond the collection getters: the empty
// element, the factory registry it comes from, and collections without creating them.

#include "platform/sync.h"
#include "server/empty_element.h"
#include "server/zel_server.h"

namespace zel {
namespace {

Mutex g_factory_mu;
EmptyElementFactory g_factory ZEL_GUARDED_BY(g_factory_mu);

}  // namespace

void RegisterEmptyElementFactory(EmptyElementFactory factory) {
  MutexLock g(&g_factory_mu);
  g_factory = std::move(factory);
}

EmptyElementFactory FindEmptyElementFactory() {
  MutexLock g(&g_factory_mu);
  return g_factory;
}

HRESULT CZelServer::GetEmptyElement(IDispatch** element) {
  if (element == nullptr) return E_POINTER;
  *element = nullptr;
  {
    MutexLock g(&mu_);
    if (empty_element_) {
      *element = ComPtr<IDispatch>(empty_element_).Detach();
      return S_OK;
    }
  }
  EmptyElementFactory factory = FindEmptyElementFactory();
  if (!factory) return S_FALSE;
  // Made outside the lock (the factory reads the resource catalogue); the first one kept wins.
  ComPtr<IDispatch> made;
  ZEL_TRY(factory(made.Receive()));
  if (!made) return E_UNEXPECTED;
  MutexLock g(&mu_);
  if (!empty_element_) empty_element_ = std::move(made);
  *element = ComPtr<IDispatch>(empty_element_).Detach();
  return S_OK;
}

HRESULT CZelServer::FindCollection(int slot, IDispatch** collection) {
  if (collection == nullptr) return E_POINTER;
  *collection = nullptr;
  if (slot < 0 || slot >= kCollectionSlotCount) return E_FAIL;
  MutexLock g(&slots_mu_);
  if (!slots_[slot]) return S_FALSE;
  *collection = ComPtr<IDispatch>(slots_[slot]).Detach();
  return S_OK;
}

}  // namespace zel
