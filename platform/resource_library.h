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

// The file name of the catalogue.
inline constexpr std::string_view kResourceLibraryName = "ZelCommSrvRes.DLL";

// Installs the process-wide library (null uninstalls).
void InstallResources(std::shared_ptr<const ResourceLibrary> library);
std::shared_ptr<const ResourceLibrary> Resources();

// String id from the process library. Missing (or no library): E_UNEXPECTED, *out untouched.
HRESULT LoadResourceString(uint32_t id, BStr* out);
// The message text for a status code or message id, "Unknown Error" when there is none.
std::string MessageText(uint32_t id);

}  // namespace zel
