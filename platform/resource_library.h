// The resource library: every user-visible text of the system (service names, transport names,
// the serial device prefix, model names, labels, status-code and event-log message texts) looked
// up by number in a string table and a message table, kept in a separate text catalogue file so
// it can be translated without rebuilding.
//
// The process-wide library is installed by the host at start (see LoadProcessResources) and by
// tests. Lookups on a process without a library behave as lookups of missing ids.
//
// Thread contract: Install/Load at start-up or in test set-up; lookups from any thread (the
// installed library is immutable and held by shared_ptr).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bstr.h"
#include "platform/status.h"

namespace zel {

class ResourceLibrary {
 public:
  // Parses a catalogue file. Missing file: 0x80070002; unreadable: the system error; a line
  // that does not parse: E_FAIL with the line number in *error (when given).
  static HRESULT LoadFile(const std::string& path, std::shared_ptr<const ResourceLibrary>* out,
                          std::string* error = nullptr);
  static HRESULT Parse(std::string_view text, std::shared_ptr<const ResourceLibrary>* out,
                       std::string* error = nullptr);

  std::optional<std::string> String(uint32_t id) const;
  // Message texts by 32-bit id (status codes and event-log message ids).
  std::optional<std::string> Message(uint32_t id) const;

 private:
  std::map<uint32_t, std::string> strings_;
  std::map<uint32_t, std::string> messages_;
  friend class ResourceCatalogParser;
};

// The file name of the catalogue. It keeps the library's name and adds ".txt", since it is a
// plain UTF-8 text file (format in docs/configuration.md); a translator's copy with this name in
// the directory that the registry names (below) replaces the shipped one.
inline constexpr std::string_view kResourceLibraryName = "ZelCommSrvRes.DLL.txt";

// The settings-registry key and value naming the directory of the catalogue; the file name is
// appended to the value text (with a "/" between when the text does not end with one).
inline constexpr std::string_view kResourcesKey = "SOFTWARE\\Tamsen\\Portico\\Resources";
inline constexpr std::string_view kResourcesValue = "ZelCommSrvRes.DLL";

// Installs the process-wide library (null uninstalls).
void InstallResources(std::shared_ptr<const ResourceLibrary> library);
std::shared_ptr<const ResourceLibrary> Resources();

// The path of the catalogue the process would load, without loading it: the registry value
// above (a REG_SZ, or a REG_EXPAND_SZ expanded) followed by kResourceLibraryName, whether or
// not that file exists; when the key or value cannot be read, the first of
// these that exists: the instance directory, then <executable dir>/../share/zelcommsrv (where
// the package installs the shipped catalogue). When none exists, the instance-directory path.
// This is also the path published for the event source's message file.
std::string ResourceLibraryPath();
// Locates (as ResourceLibraryPath), loads and installs the process library. Missing catalogue:
// 0x80070002; a catalogue that does not parse: E_FAIL, with the file and line in *error. The
// previously installed library stays on failure. *path_used receives the path tried.
HRESULT LoadProcessResources(std::string* path_used, std::string* error = nullptr);
// The catalogue shipped in the source tree (resources/), for tests and demos run from a build
// directory.
std::string SourceTreeCatalogPath();

// String id from the process library. Missing (or no library): E_UNEXPECTED, *out untouched.
HRESULT LoadResourceString(uint32_t id, BStr* out);
// The message text for a status code or message id, "Unknown Error" when there is none.
std::string MessageText(uint32_t id);

}  // namespace zel
