#include "server/server_log_hook.h"

#include "platform/sync.h"

namespace zel {
namespace {
Mutex g_writer_mu;
ServerLogWriter g_writer ZEL_GUARDED_BY(g_writer_mu);
}  // namespace

void SetServerLogWriter(ServerLogWriter writer) {
  MutexLock g(&g_writer_mu);
  g_writer = std::move(writer);
}

void WriteServerLog(std::string_view component, std::string_view feature,
                    std::string_view description, HRESULT code) {
  ServerLogWriter writer;
  {
    MutexLock g(&g_writer_mu);
    writer = g_writer;
  }
  if (writer) writer(component, feature, description, code);
}

}  // namespace zel
