#include "server/server_log.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "platform/settings_registry.h"
#include "platform/sync.h"
#include "platform/xml_text.h"
#include "server/server_log_hook.h"

namespace zel {
namespace {

constexpr std::string_view kCrLf = "\r\n";
// The log holds names of users and the server's failures: readable by the service's group.
constexpr mode_t kLogMode = 0640;

Mutex& LogMutex() {
  static Mutex mu;
  return mu;
}

// The registry key that string 242 names, if it can be opened.
bool OpenInstallKey(RegKey* key) {
  BStr name;
  if (Failed(LoadResourceString(kIdsInstallPathKey, &name)) || name.str().empty()) return false;
  return Succeeded(RegKey::LocalMachine().Open(name.str(), key));
}

uint32_t SizeLimit() {
  RegKey key;
  uint32_t limit = 0;
  if (!OpenInstallKey(&key) || Failed(key.QueryDword(kServerLogLimitValue, &limit)) || limit == 0) {
    return kDefaultServerLogLimit;
  }
  return limit;
}

std::string Beside(const std::string& log_path, std::string_view name) {
  return ParentDirectory(log_path) + "/" + std::string(name);
}

// The whole text of a new log or of `old` with `entry` added, per the layout's rule: the entry
// replaces the closing tag (and, in a cleared log, the CR LF before it).
std::string WithEntry(const std::string& old, std::string_view entry) {
  std::string text;
  if (old.empty()) {
    text = kServerLogOpen;
  } else {
    size_t keep = old.size() - kServerLogClose.size();
    if (keep == kServerLogOpen.size() + kCrLf.size()) keep -= kCrLf.size();  // a cleared log
    text = old.substr(0, keep);
  }
  text.append(entry);
  text.append(kCrLf);
  text.append(kServerLogClose);
  return text;
}

bool EndsWithClose(const std::string& text) {
  return text.size() >= kServerLogOpen.size() + kServerLogClose.size() &&
         text.compare(0, kServerLogOpen.size(), kServerLogOpen) == 0 &&
         text.compare(text.size() - kServerLogClose.size(), kServerLogClose.size(),
                      kServerLogClose) == 0;
}

}  // namespace

std::string ServerLogPath() {
  RegKey key;
  std::string dir;
  if (!OpenInstallKey(&key) || Failed(key.QueryString(kInstallPathValue, &dir, true)) ||
      dir.empty()) {
    dir = InstanceDir();
  }
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/" + std::string(kServerLogFileName);
}

std::string FormatServerLogEntry(std::string_view component, std::string_view feature,
                                 std::string_view description, HRESULT code, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  // "ddd MMM dd HH:mm:ss yyyy", in the C locale's English names.
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%a %b %d %H:%M:%S %Y", &local);
  char code_text[16];
  std::snprintf(code_text, sizeof code_text, "0x%.8x", static_cast<uint32_t>(code));

  std::string e = "<LOGENTRY COMPONENT=\"";
  AppendXmlEscaped(&e, component);
  e += "\" FEATURE=\"";
  AppendXmlEscaped(&e, feature);
  e += "\"><DATETIME>";
  e += stamp;
  e += "</DATETIME><DESCRIPTION>";
  AppendXmlEscaped(&e, description);
  e += "</DESCRIPTION><RESULT>";
  AppendXmlEscaped(&e, MessageText(static_cast<uint32_t>(code)));
  e += "</RESULT><HRESULT>";
  e += code_text;
  e += "</HRESULT></LOGENTRY>";
  return e;
}

HRESULT WriteServerLogEntry(std::string_view component, std::string_view feature,
                            std::string_view description, HRESULT code) {
  const std::string entry =
      FormatServerLogEntry(component, feature, description, code, Clock::Get()->WallNow());
  const std::string path = ServerLogPath();
  MutexLock g(&LogMutex());
  RemoveStaleTemporary(path);
  std::string old;
  HRESULT hr = ReadWholeFile(path, &old);
  if (hr == HresultFromErrno(ENOENT)) {
    old.clear();
  } else if (Failed(hr)) {
    return hr;
  } else if (!old.empty() && !EndsWithClose(old)) {
    std::string moved_to;
    ZEL_TRY(MoveFileAside(path, &moved_to));
    old.clear();
  }
  if (!old.empty() && old.size() + entry.size() + kCrLf.size() > SizeLimit()) {
    // One old log is kept; the rename is atomic, so a crash leaves one of the two names.
    if (std::rename(path.c_str(), Beside(path, kServerLogOldFileName).c_str()) != 0) {
      return HresultFromErrno(errno);
    }
    old.clear();
  }
  return ReplaceFileAtomically(path, WithEntry(old, entry), kLogMode);
}

HRESULT ClearServerLogFile() {
  const std::string path = ServerLogPath();
  MutexLock g(&LogMutex());
  std::string cleared(kServerLogOpen);
  cleared += kCrLf;
  cleared += kServerLogClose;
  return ReplaceFileAtomically(path, cleared, kLogMode);
}

void InstallServerLogFile() {
  SetServerLogWriter(
      [](std::string_view component, std::string_view feature, std::string_view description,
         HRESULT code) { (void)WriteServerLogEntry(component, feature, description, code); });
}

}  // namespace zel
