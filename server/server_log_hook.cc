#include "server/server_log_hook.h"

#include <mutex>

namespace zel {
namespace {
std::mutex g_writer_mu;
ServerLogWriter g_writer;  // guarded by g_writer_mu
}  // namespace

void SetServerLogWriter(ServerLogWriter writer) {
  std::lock_guard<std::mutex> g(g_writer_mu);
  g_writer = std::move(writer);
}

void WriteServerLog(std::string_view component, std::string_view feature,
                    std::string_view description, HRESULT code) {
  ServerLogWriter writer;
  {
    std::lock_guard<std::mutex> g(g_writer_mu);
    writer = g_writer;
  }
  if (writer) writer(component, feature, description, code);
}

}  // namespace zel
