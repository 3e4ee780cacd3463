// CZelServerUtils: the utility object behind the server's Utils property. It lets the web pages
// play a sound on this machine, keep string settings in the registry, and read or clear the
// server log.
//
//   PlaySound(file)             plays <sounds folder>/<file name part of file> with the first
//                               player found on PATH (paplay, then aplay), without waiting;
//                               E_FAIL when the file or a player is missing or it cannot start
//   SetProperty(name, value)    REG_SZ value `name` under "SOFTWARE\Tamsen\Portico\Settings"
//   GetProperty(name) -> value  that value; the registry's status when it cannot be read
//   ClearServerLog()            the log becomes <SERVERLOG> CR LF </SERVERLOG>; a log that cannot
//                               be written is skipped (S_OK), as the log is never the caller's
//                               failure
//   ServerLog -> document       SRVRLOG.XML as a read-only document (xml_document.h);
//                               "<SERVERLOG/>" when it is missing or does not parse
//
// Thread contract: stateless past construction; any member from any thread.
#pragma once

#include <string>

#include "link/comm_handler.h"
#include "platform/dispatch.h"

namespace zel {

inline constexpr CLSID kClsidZelServerUtils = ZelClassId(kIdCoclass, 0x30);
inline constexpr std::string_view kProgIdZelServerUtils = "Corvane.ZelServerUtils";
inline constexpr std::string_view kSettingsKey = "SOFTWARE\\Tamsen\\Portico\\Settings";

inline constexpr DISPID kDispidPlaySound = 0x60020000;
inline constexpr DISPID kDispidSetProperty = 0x60020001;
inline constexpr DISPID kDispidGetProperty = 0x60020002;
inline constexpr DISPID kDispidClearServerLog = 0x60020003;
inline constexpr DISPID kDispidServerLog = 0x60020004;

class CZelServerUtils final : public DispatchImpl<CZelServerUtils, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  // `sounds_folder` "" : the "sounds" folder in the program's share folder.
  explicit CZelServerUtils(std::string sounds_folder = {});

  HRESULT PlaySound(BStr sound_file);
  HRESULT SetProperty(BStr property, BStr value);
  HRESULT GetProperty(BStr property, BStr* value);
  HRESULT ClearServerLog();
  HRESULT get_ServerLog(IDispatch** document);

  const std::string& sounds_folder() const { return sounds_folder_; }

 private:
  std::string sounds_folder_;
};

// The players PlaySound tries, in order.
inline constexpr const char* kSoundPlayers[] = {"paplay", "aplay"};

}  // namespace zel
