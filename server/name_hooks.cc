#include "server/name_hooks.h"

#include <mutex>

namespace zel {
namespace {

std::mutex g_hooks_mu;
std::optional<NameHooks> g_hooks;  // guarded by g_hooks_mu

}  // namespace

void RegisterNameHooks(NameHooks hooks) {
  std::lock_guard<std::mutex> g(g_hooks_mu);
  g_hooks = std::move(hooks);
}

void UnregisterNameHooks() {
  std::lock_guard<std::mutex> g(g_hooks_mu);
  g_hooks.reset();
}

std::optional<NameHooks> FindNameHooks() {
  std::lock_guard<std::mutex> g(g_hooks_mu);
  return g_hooks;
}

}  // namespace zel
