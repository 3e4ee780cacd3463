#include "server/name_hooks.h"

#include "platform/sync.h"

namespace zel {
namespace {

Mutex g_hooks_mu;
std::optional<NameHooks> g_hooks ZEL_GUARDED_BY(g_hooks_mu);

}  // namespace

void RegisterNameHooks(NameHooks hooks) {
  MutexLock g(&g_hooks_mu);
  g_hooks = std::move(hooks);
}

void UnregisterNameHooks() {
  MutexLock g(&g_hooks_mu);
  g_hooks.reset();
}

std::optional<NameHooks> FindNameHooks() {
  MutexLock g(&g_hooks_mu);
  return g_hooks;
}

}  // namespace zel
