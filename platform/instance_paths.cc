#include "platform/instance_paths.h"

#include <cstdlib>
#include <filesystem>

#include "platform/file_system.h"
#include "platform/sync.h"

namespace zel {

namespace {

Mutex g_mu;
std::string g_dir ZEL_GUARDED_BY(g_mu);  // empty until SetInstanceDir

}  // namespace

void SetInstanceDir(std::string dir) {
  MutexLock g(&g_mu);
  g_dir = std::move(dir);
}

std::string InstanceDir() {
  {
    MutexLock g(&g_mu);
    if (!g_dir.empty()) return g_dir;
  }
  // getenv is read-only here; nothing in the process sets ZELCOMMSRV_HOME after start.
  const char* env =
      std::getenv(std::string(kInstanceEnvVar).c_str());  // NOLINT(concurrency-mt-unsafe)
  if (env != nullptr && env[0] != '\0') return env;
  return std::string(kDefaultInstanceDir);
}

std::string InstancePath(std::string_view name) {
  std::string dir = InstanceDir();
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  dir.append(name);
  return dir;
}

HRESULT EnsureInstanceDir() {
  // 0750: the daemon's group may read the logs, others see nothing. Parents get the same mode.
  return MakeDirectories(InstanceDir(), 0750);
}

std::string ProgramPath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

std::string ProgramShareDir() {
  std::string exe = ProgramPath();
  if (exe.empty()) return {};
  std::filesystem::path share = std::filesystem::path(exe).parent_path() / "../share/zelcommsrv";
  return share.lexically_normal().string();
}

}  // namespace zel
