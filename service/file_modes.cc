#include "service/file_modes.h"

#include <sys/stat.h>

#include <cstdio>

#include "bridge/access_policy.h"
#include "bridge/security_log.h"
#include "bridge/token_store.h"
#include "platform/system_log.h"

namespace zel {
namespace {

// Owner read-write and group read at most.
constexpr mode_t kWidest = 0640;

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

const std::vector<std::string>& PrivateFileNames() {
  static const std::vector<std::string> names = {
      "ZELINFO.DAT",        "ZELINFO.DAT.lock",      "registry.json",
      "registry.json.lock", bridge::kPolicyFileName, bridge::kTokenFileName,
  };
  return names;
}

std::vector<std::string> TightenPrivateFiles(const std::string& dir) {
  std::vector<std::string> changed;
  for (const std::string& name : PrivateFileNames()) {
    std::string path = dir + "/" + name;
    struct stat st {};
    // lstat: a symbolic link is not followed to tighten whatever it points at.
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    mode_t mode = st.st_mode & 07777;
    if ((mode & ~kWidest) == 0) continue;
    if (chmod(path.c_str(), 0600) != 0) continue;
    ReportEvent(MSG_FILE_MODE_TIGHTENED, S_OK, path + ": " + Octal(mode) + " -> 0600");
    changed.push_back(path);
  }
  return changed;
}

}  // namespace zel
