// The server's automation interfaces: IZelServerConfig (configuration and lifecycle), IZelServer
// (everything else a client asks the server), the outgoing event interface _DZelServerEvents,
// IZelSystemInformation, their ids and dispids, and the enums clients see.
//
// Dispids of the handler properties (OnEvent 0x60E .. OnServerStatusChange 0x626) are fixed by
// the clients' scripts; the others are this server's own and are listed here once.
//
// Thread contract: declarations only. The implementing class (server/zel_server.h) states its
// own locking.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "link/comm_handler.h"
#include "platform/dispatch.h"

namespace zel {

// "Server Status States".
enum ServerStatus : int32_t {
  ssUnknown = 0,
  ssStarting = 1,
  ssLoadingSetup = 2,
  ssLoadingNames = 3,
  ssLoadingExtensions = 4,
  ssInitializing = 5,
  ssInteractive = 16,
  ssStopping = 17,
  ssStopped = 18,
  ssFailure = 128,
};

// The enumerator's name of a server status ("ssInteractive"), for people reading logs and
// zelctl's output; nullptr for a value that is no status.
constexpr const char* ServerStatusName(int64_t status) {
  switch (status) {
    case ssUnknown:
      return "ssUnknown";
    case ssStarting:
      return "ssStarting";
    case ssLoadingSetup:
      return "ssLoadingSetup";
    case ssLoadingNames:
      return "ssLoadingNames";
    case ssLoadingExtensions:
      return "ssLoadingExtensions";
    case ssInitializing:
      return "ssInitializing";
    case ssInteractive:
      return "ssInteractive";
    case ssStopping:
      return "ssStopping";
    case ssStopped:
      return "ssStopped";
    case ssFailure:
      return "ssFailure";
    default:
      return nullptr;
  }
}

// "Download Status States".
enum DownloadStatus : int32_t {
  dsUnknown = 0,
  dsDownloading = 1,
  dsCompleted = 2,
  dsFailure = 128,
};

enum AudioControlModel : int32_t {
  acmNone = 0,
  acmNuVo = 1,
  acmRussound = 2,
  acmZelHiFi = 3,
  acmNuVoGrandConcerto = 4,
  acmNuVoEssentiaSimplese = 5,
  acmXantech = 6,
  acmSpeakerCraft = 7,
  acmProficient = 8,
  acmRussoundESeries = 9,
  acmUnknown = 255,
};

// Class ids and interface ids of the server's classes (class numbers 0x10 to 0x1F).
inline constexpr CLSID kClsidZelServer = ZelClassId(kIdCoclass, 0x10);
inline constexpr CLSID kClsidZelSystemInformation = ZelClassId(kIdCoclass, 0x11);
inline constexpr std::string_view kProgIdZelServer = "Corvane.ZelServer";

// ---- Dispids ------------------------------------------------------------------------------

// IZelServerConfig.
inline constexpr DISPID kDispidCommunicationsHandler = 0x600;
inline constexpr DISPID kDispidAccessCode = 0x601;
inline constexpr DISPID kDispidDownloadSetup = 0x602;
inline constexpr DISPID kDispidDownloadNames = 0x603;
inline constexpr DISPID kDispidSetControllerTime = 0x604;
inline constexpr DISPID kDispidSetupLastDownload = 0x605;
inline constexpr DISPID kDispidNamesLastDownload = 0x606;
inline constexpr DISPID kDispidStart = 0x607;
inline constexpr DISPID kDispidStop = 0x608;
inline constexpr DISPID kDispidLoadSetup = 0x609;
inline constexpr DISPID kDispidSaveSetup = 0x60A;
inline constexpr DISPID kDispidProductVersion = 0x60B;

// The 25 handler properties: handler slot = dispid - kDispidFirstHandler.
inline constexpr DISPID kDispidFirstHandler = 0x60E;
inline constexpr int kHandlerSlotCount = 25;
inline constexpr int kHandlerSlotServerStatusChange = 24;  // OnServerStatusChange, 0x626

// IZelServer: lifecycle and collections. Collection getter dispid = kDispidFirstCollection + slot.
inline constexpr DISPID kDispidStatus = 0x627;
inline constexpr DISPID kDispidReset = 0x628;
inline constexpr DISPID kDispidInitCollections = 0x629;
inline constexpr DISPID kDispidFirstCollection = 0x630;
inline constexpr DISPID kDispidUtils = 0x63F;
// System information and time.
inline constexpr DISPID kDispidModel = 0x640;
inline constexpr DISPID kDispidVersion = 0x641;
inline constexpr DISPID kDispidPhoneNumber = 0x642;
inline constexpr DISPID kDispidDate = 0x643;
inline constexpr DISPID kDispidTimeZone = 0x644;
inline constexpr DISPID kDispidDaylightSavings = 0x645;
inline constexpr DISPID kDispidSunrise = 0x646;
inline constexpr DISPID kDispidSunset = 0x647;
inline constexpr DISPID kDispidTemperatureFormat = 0x648;
inline constexpr DISPID kDispidBatteryLevel = 0x649;
inline constexpr DISPID kDispidSystemParametersInfo = 0x64A;
inline constexpr DISPID kDispidSystemInformation = 0x64B;
inline constexpr DISPID kDispidSetControllerTimeNow = 0x64C;
// Downloads.
inline constexpr DISPID kDispidDownloadSetupNow = 0x650;
inline constexpr DISPID kDispidDownloadSetupStatus = 0x651;
inline constexpr DISPID kDispidDownloadNamesNow = 0x652;
inline constexpr DISPID kDispidDownloadNamesStatus = 0x653;
// Events, login, storage, status XML.
inline constexpr DISPID kDispidFireEvent = 0x654;
inline constexpr DISPID kDispidEventConnections = 0x655;
inline constexpr DISPID kDispidOnStartPage = 0x656;
inline constexpr DISPID kDispidOnEndPage = 0x657;
inline constexpr DISPID kDispidLogin = 0x658;
inline constexpr DISPID kDispidLogout = 0x659;
inline constexpr DISPID kDispidSaveFriendlyNames = 0x65A;
inline constexpr DISPID kDispidSaveStatusXML = 0x65B;

// IZelSystemInformation.
inline constexpr DISPID kDispidAudioControlModel = 0x660;
inline constexpr DISPID kDispidIsWindowsHomeServer = 0x661;

// The handler property names in slot (dispid) order.
inline constexpr std::array<std::string_view, kHandlerSlotCount> kHandlerPropertyNames = {
    "OnEvent",
    "OnAccessEvent",
    "OnAlarmEvent",
    "OnArmEvent",
    "OnBypassEvent",
    "OnMessageEvent",
    "OnRestoreEvent",
    "OnTroubleEvent",
    "OnSystemEvent",
    "OnSystemAlarmActivate",
    "OnSystemAllOnOff",
    "OnSystemBatteryStatus",
    "OnSystemDCMStatusChange",
    "OnSystemEnergyCostChange",
    "OnSystemMacroButton",
    "OnSystemPhoneLineStatusChange",
    "OnSystemPowerStatusChange",
    "OnSystemSecurityArming",
    "OnSystemUnitStatusChange",
    "OnSystemX10CodeReceived",
    "OnSystemZoneStatusChange",
    "OnSystemComposeCodeReceived",
    "OnSystemALCUPBSwitchPress",
    "OnSystemUPBLink",
    "OnServerStatusChange",
};

// _DZelServerEvents: a sink is called through IDispatch::Invoke with these dispids (1 to 25, in
// the outgoing interface's member order, which differs from the handler slot order), each with
// one argument: the event object (VT_DISPATCH) or, for OnServerStatusChange, the status (VT_I4).
inline constexpr IID kIidDZelServerEvents = ZelClassId(kIdOutgoing, 0x10);
inline constexpr std::array<std::string_view, 25> kServerEventNames = {
    "OnEvent",
    "OnAccessEvent",
    "OnAlarmEvent",
    "OnArmEvent",
    "OnBypassEvent",
    "OnMessageEvent",
    "OnRestoreEvent",
    "OnTroubleEvent",
    "OnSystemEvent",
    "OnSystemAlarmActivate",
    "OnSystemALCUPBSwitchPress",
    "OnSystemAllOnOff",
    "OnSystemBatteryStatus",
    "OnSystemComposeCodeReceived",
    "OnSystemDCMStatusChange",
    "OnSystemEnergyCostChange",
    "OnSystemMacroButton",
    "OnSystemPhoneLineStatusChange",
    "OnSystemPowerStatusChange",
    "OnSystemSecurityArming",
    "OnSystemUnitStatusChange",
    "OnSystemUPBLink",
    "OnSystemX10CodeReceived",
    "OnSystemZoneStatusChange",
    "OnServerStatusChange",
};
// The sink dispid of a member named in kServerEventNames: its position + 1.
constexpr DISPID ServerEventDispid(std::string_view name) {
  for (size_t i = 0; i < kServerEventNames.size(); ++i) {
    if (kServerEventNames[i] == name) return static_cast<DISPID>(i + 1);
  }
  return DISPID_UNKNOWN;
}
inline constexpr DISPID kDispidSinkOnServerStatusChange = ServerEventDispid("OnServerStatusChange");
static_assert(kDispidSinkOnServerStatusChange == 25);

// ---- Interfaces ---------------------------------------------------------------------------

// Configuration and lifecycle.
struct IZelServerConfig : IDispatch {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x10);
  virtual HRESULT get_ProductVersion(BStr* version) = 0;
  // The argument must answer IZelCommHandler.
  virtual HRESULT put_CommunicationsHandler(IDispatch* handler) = 0;
  // The transport (an IZelCommHandler) with one added reference.
  virtual HRESULT get_CommunicationsHandler(IDispatch** handler) = 0;
  virtual HRESULT put_AccessCode(BStr code) = 0;
  virtual HRESULT get_AccessCode(BStr* code) = 0;
  virtual HRESULT put_DownloadSetup(bool value) = 0;
  virtual HRESULT get_DownloadSetup(VariantBool* value) = 0;
  virtual HRESULT put_DownloadNames(bool value) = 0;
  virtual HRESULT get_DownloadNames(VariantBool* value) = 0;
  virtual HRESULT put_SetControllerTime(bool value) = 0;
  virtual HRESULT get_SetControllerTime(VariantBool* value) = 0;
  virtual HRESULT get_SetupLastDownload(Variant* value) = 0;
  virtual HRESULT get_NamesLastDownload(Variant* value) = 0;
  virtual HRESULT Start() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT LoadSetup() = 0;
  virtual HRESULT SaveSetup() = 0;
};

// The whole server interface; extends IZelServerConfig.
struct IZelServer : IZelServerConfig {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x11);

  // Lifecycle and collections.
  virtual HRESULT get_Status(int32_t* status) = 0;
  virtual HRESULT reset() = 0;
  virtual HRESULT InitCollections() = 0;
  virtual HRESULT get_Units(IDispatch** collection) = 0;
  virtual HRESULT get_Thermostats(IDispatch** collection) = 0;
  virtual HRESULT get_TemperatureSensors(IDispatch** collection) = 0;
  virtual HRESULT get_Zones(IDispatch** collection) = 0;
  virtual HRESULT get_Events(IDispatch** collection) = 0;
  virtual HRESULT get_SystemEvents(IDispatch** collection) = 0;
  virtual HRESULT get_Buttons(IDispatch** collection) = 0;
  virtual HRESULT get_Codes(IDispatch** collection) = 0;
  virtual HRESULT get_Expansions(IDispatch** collection) = 0;
  virtual HRESULT get_Messages(IDispatch** collection) = 0;
  virtual HRESULT get_Areas(IDispatch** collection) = 0;
  virtual HRESULT get_AudioSources(IDispatch** collection) = 0;
  virtual HRESULT get_AudioZones(IDispatch** collection) = 0;
  virtual HRESULT get_CommHandlers(IDispatch** collection) = 0;
  virtual HRESULT get_Extensions(IDispatch** collection) = 0;
  virtual HRESULT get_Utils(IDispatch** utils) = 0;

  // System information, parameters and controller time.
  virtual HRESULT get_Model(BStr* model) = 0;
  virtual HRESULT get_version(BStr* version) = 0;
  virtual HRESULT get_PhoneNumber(BStr* phone) = 0;
  virtual HRESULT get_Date(Variant* date) = 0;
  virtual HRESULT get_TimeZone(Variant* zone) = 0;
  virtual HRESULT get_DaylightSavings(VariantBool* value) = 0;
  virtual HRESULT get_Sunrise(Date* time) = 0;
  virtual HRESULT get_Sunset(Date* time) = 0;
  virtual HRESULT get_TemperatureFormat(Variant* format) = 0;
  virtual HRESULT get_BatteryLevel(int32_t* level) = 0;
  virtual HRESULT get_SystemParametersInfo(Variant index, Variant* value) = 0;
  virtual HRESULT get_SystemInformation(IDispatch** info) = 0;
  virtual HRESULT SetControllerTimeNow() = 0;

  // Downloads.
  virtual HRESULT DownloadSetupNow(bool async) = 0;
  virtual HRESULT get_DownloadSetupStatus(int32_t* status) = 0;
  virtual HRESULT DownloadNamesNow(bool async) = 0;
  virtual HRESULT get_DownloadNamesStatus(int32_t* status) = 0;

  // Client events: handler properties by slot (0 .. 24), events, page hooks.
  virtual HRESULT PutHandler(int slot, const Variant& handler) = 0;
  virtual HRESULT FireEvent(IDispatch* event) = 0;
  virtual HRESULT get_EventConnections(Variant* count) = 0;
  virtual HRESULT OnStartPage(IUnknown* page) = 0;
  virtual HRESULT OnEndPage() = 0;

  // Client login.
  virtual HRESULT Login(Variant user, Variant code, Variant* cookie) = 0;
  virtual HRESULT Logout(Variant cookie) = 0;

  // Local storage and status XML.
  virtual HRESULT SaveFriendlyNames() = 0;
  virtual HRESULT SaveStatusXML(Variant destination) = 0;
};

// The SystemInformation object.
struct IZelSystemInformation : IDispatch {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x12);
  virtual HRESULT get_AudioControlModel(int32_t* model) = 0;
  virtual HRESULT get_IsWindowsHomeServer(VariantBool* value) = 0;
};

}  // namespace zel
