#include "utils/server_utils.h"

#include <filesystem>

#include "platform/file_system.h"
#include "platform/instance_paths.h"
#include "platform/program_launch.h"
#include "platform/settings_registry.h"
#include "server/server_log.h"
#include "utils/xml_document.h"

namespace zel {

const MemberTable& CZelServerUtils::Members() {
  using T = CZelServerUtils;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelServerUtils")
          .Method(Role::kControl, "PlaySound", kDispidPlaySound, &T::PlaySound, {"bstrSoundFile"})
          .Method(Role::kAdmin, "SetProperty", kDispidSetProperty, &T::SetProperty,
                  {"bstrProperty", "bstrValue"})
          .Method(Role::kRead, "GetProperty", kDispidGetProperty, &T::GetProperty, {"bstrProperty"})
          .Method(Role::kAdmin, "ClearServerLog", kDispidClearServerLog, &T::ClearServerLog)
          .Get(Role::kRead, "ServerLog", kDispidServerLog, &T::get_ServerLog)
          .Build();
  return table;
}

CZelServerUtils::CZelServerUtils(std::string sounds_folder)
    : sounds_folder_(sounds_folder.empty() ? ProgramShareDir() + "/sounds"
                                           : std::move(sounds_folder)) {}

HRESULT CZelServerUtils::PlaySound(BStr sound_file) {
  // Only the file name counts: a folder in the argument (either kind of slash) is dropped.
  const std::string& given = sound_file.str();
  size_t cut = given.find_last_of("/\\");
  std::string name = cut == std::string::npos ? given : given.substr(cut + 1);
  if (name.empty() || name == "." || name == "..") return E_FAIL;
  std::string path = sounds_folder_ + "/" + name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return E_FAIL;
  for (const char* player : kSoundPlayers) {
    if (FindProgram(player).empty()) continue;
    return Succeeded(StartProgram({player, path})) ? S_OK : E_FAIL;
  }
  return E_FAIL;
}

HRESULT CZelServerUtils::SetProperty(BStr property, BStr value) {
  RegKey settings;
  ZEL_TRY(RegKey::LocalMachine().Create(kSettingsKey, &settings));
  return settings.SetString(property.str(), value.str());
}

HRESULT CZelServerUtils::GetProperty(BStr property, BStr* value) {
  if (value == nullptr) return E_POINTER;
  RegKey settings;
  ZEL_TRY(RegKey::LocalMachine().Open(kSettingsKey, &settings));
  std::string text;
  ZEL_TRY(settings.QueryString(property.str(), &text));
  *value = std::move(text);
  return S_OK;
}

HRESULT CZelServerUtils::ClearServerLog() {
  (void)ClearServerLogFile();
  return S_OK;
}

HRESULT CZelServerUtils::get_ServerLog(IDispatch** document) {
  if (document == nullptr) return E_POINTER;
  *document = nullptr;
  std::string text;
  ComPtr<CZelXmlDocument> parsed;
  if (Failed(ReadWholeFile(ServerLogPath(), &text)) ||
      Failed(CZelXmlDocument::Parse(text, &parsed))) {
    ZEL_TRY(CZelXmlDocument::Parse("<SERVERLOG/>", &parsed));
  }
  *document = parsed.Detach();
  return S_OK;
}

}  // namespace zel
