#include "platform/instance_paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace zel {

namespace {

std::mutex g_mu;
std::string g_dir;  // guarded by g_mu; empty until SetInstanceDir

}  // namespace

void SetInstanceDir(std::string dir) {
  std::lock_guard<std::mutex> g(g_mu);
  g_dir = std::move(dir);
}

std::string InstanceDir() {
  {
    std::lock_guard<std::mutex> g(g_mu);
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
  std::string dir = InstanceDir();
  // Creates each missing component in turn; parents get the same mode (0750: the daemon's
  // group may read the logs, others see nothing).
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0750) != 0 && errno != EEXIST) return HresultFromErrno(errno);
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return HresultFromWin32(kWin32PathNotFound);
  return S_OK;
}

}  // namespace zel
