// The dispid of every member of every automation class, pinned one interface at a time.
//
// Clients call members by dispid (scripts compiled against the type library, the bridge's
// "invoke by dispid"), so a dispid is a published number: a changed one silently calls another
// member. Each class's member table must hold exactly the rows of the interfaces it implements:
// a changed dispid, a renamed member and a member without a row all fail here.
//
// Where only a range is published, the members take consecutive ids in declaration order, one
// per accessor or method, and a get/put pair shares the id of its first accessor; the explicit
// ids of the element interface (ID 0x60020007 after Index, Name, FriendlyName and Display) follow
// the same count.
//
// A new interface adds its table below and joins the classes that implement it in kClasses.
#include <gtest/gtest.h>

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "events/event_entries.h"
#include "events/event_log.h"
#include "link/comm_handlers.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "model/areas.h"
#include "model/audio_sources.h"
#include "model/audio_zones.h"
#include "model/buttons.h"
#include "model/codes.h"
#include "model/counter_unit.h"
#include "model/expansions.h"
#include "model/messages.h"
#include "model/plain_element.h"
#include "model/standard_collections.h"
#include "model/temperature_sensors.h"
#include "model/thermostats.h"
#include "model/units.h"
#include "model/x10_unit.h"
#include "model/zones.h"
#include "server/empty_collection.h"
#include "server/server_events_table.h"
#include "server/system_information.h"
#include "server/zel_server.h"

namespace zel {
namespace {

struct Row {
  std::string_view name;
  DISPID id;
};
using Interface = std::span<const Row>;

// The link's health on the server and its change event: dispids of our own, outside the
// published ranges.
constexpr Row kServerLinkHealth[] = {
    {"LinkState", 0x7000},
    {"LinkFailures", 0x7001},
    {"LinkLastGood", 0x7002},
};
constexpr Row kServerEventsLinkHealth[] = {
    {"OnLinkStateChange", 0x7010},
};
constexpr Row kIZelMessages[] = {
    {"HasStatus", 0x60040000},
    {"Clear", 0x60040001},
};
constexpr Row kIZelAudioZones[] = {
    {"PowerStatus", 0x660},
    {"MuteStatus", 0x661},
    {"OnAudioZoneChange", 0x662},
};
constexpr Row kIZelAudioSources[] = {
    {"OnAudioSourceChange", 0x640},
};

// ---- Transports -------------------------------------------------------------------------------

// IZelCommHandler. SettingsUI (0x5C2) and SendRequest (0x60020007) are called through the
// interface only: a class id and raw byte buffers have no variant form.
constexpr Row kIZelCommHandler[] = {
    {"Name", 0x5C0},
    {"Description", 0x5C1},
    {"Connect", 0x60020003},
    {"Disconnect", 0x60020004},
    {"BeginAtomicRequest", 0x60020005},
    {"EndAtomicRequest", 0x60020006},
};
constexpr Row kIZelCommHandlerSerial[] = {
    {"Port", 0x5C3},
    {"BaudRate", 0x5C4},
};
constexpr Row kIZelCommHandlerNetwork[] = {
    {"Address", 0x5C5},
    {"Port", 0x5C6},
    {"PrivateKey", 0x5C7},
};

// ---- Server -----------------------------------------------------------------------------------

// IZelServerConfig: the server's own numbers.
constexpr Row kIZelServerConfig[] = {
    {"CommunicationsHandler", 0x600},
    {"AccessCode", 0x601},
    {"DownloadSetup", 0x602},
    {"DownloadNames", 0x603},
    {"SetControllerTime", 0x604},
    {"SetupLastDownload", 0x605},
    {"NamesLastDownload", 0x606},
    {"Start", 0x607},
    {"Stop", 0x608},
    {"LoadSetup", 0x609},
    {"SaveSetup", 0x60A},
    {"ProductVersion", 0x60B},
};
// IZelServer: the handler properties 0x60E to 0x626 are the published ones; the rest are the
// server's own numbers.
constexpr Row kIZelServer[] = {
    {"OnEvent", 0x60E},
    {"OnAccessEvent", 0x60F},
    {"OnAlarmEvent", 0x610},
    {"OnArmEvent", 0x611},
    {"OnBypassEvent", 0x612},
    {"OnMessageEvent", 0x613},
    {"OnRestoreEvent", 0x614},
    {"OnTroubleEvent", 0x615},
    {"OnSystemEvent", 0x616},
    {"OnSystemAlarmActivate", 0x617},
    {"OnSystemAllOnOff", 0x618},
    {"OnSystemBatteryStatus", 0x619},
    {"OnSystemDCMStatusChange", 0x61A},
    {"OnSystemEnergyCostChange", 0x61B},
    {"OnSystemMacroButton", 0x61C},
    {"OnSystemPhoneLineStatusChange", 0x61D},
    {"OnSystemPowerStatusChange", 0x61E},
    {"OnSystemSecurityArming", 0x61F},
    {"OnSystemUnitStatusChange", 0x620},
    {"OnSystemX10CodeReceived", 0x621},
    {"OnSystemZoneStatusChange", 0x622},
    {"OnSystemComposeCodeReceived", 0x623},
    {"OnSystemALCUPBSwitchPress", 0x624},
    {"OnSystemUPBLink", 0x625},
    {"OnServerStatusChange", 0x626},
    {"Status", 0x627},
    {"reset", 0x628},
    {"InitCollections", 0x629},
    {"Units", 0x630},
    {"Thermostats", 0x631},
    {"TemperatureSensors", 0x632},
    {"Zones", 0x633},
    {"Events", 0x634},
    {"SystemEvents", 0x635},
    {"Buttons", 0x636},
    {"Codes", 0x637},
    {"Expansions", 0x638},
    {"Messages", 0x639},
    {"Areas", 0x63A},
    {"AudioSources", 0x63B},
    {"AudioZones", 0x63C},
    {"CommHandlers", 0x63D},
    {"Extensions", 0x63E},
    {"Utils", 0x63F},
    {"Model", 0x640},
    {"version", 0x641},
    {"PhoneNumber", 0x642},
    {"Date", 0x643},
    {"TimeZone", 0x644},
    {"DaylightSavings", 0x645},
    {"Sunrise", 0x646},
    {"Sunset", 0x647},
    {"TemperatureFormat", 0x648},
    {"BatteryLevel", 0x649},
    {"SystemParametersInfo", 0x64A},
    {"SystemInformation", 0x64B},
    {"SetControllerTimeNow", 0x64C},
    {"DownloadSetupNow", 0x650},
    {"DownloadSetupStatus", 0x651},
    {"DownloadNamesNow", 0x652},
    {"DownloadNamesStatus", 0x653},
    {"FireEvent", 0x654},
    {"EventConnections", 0x655},
    {"OnStartPage", 0x656},
    {"OnEndPage", 0x657},
    {"Login", 0x658},
    {"Logout", 0x659},
    {"SaveFriendlyNames", 0x65A},
    {"SaveStatusXML", 0x65B},
};
constexpr Row kIZelSystemInformation[] = {
    {"AudioControlModel", 0x660},
    {"IsWindowsHomeServer", 0x661},
};
// _DZelServerEvents: the sinks' members in their interface order, from 1.
constexpr Row kDZelServerEvents[] = {
    {"OnEvent", 1},
    {"OnAccessEvent", 2},
    {"OnAlarmEvent", 3},
    {"OnArmEvent", 4},
    {"OnBypassEvent", 5},
    {"OnMessageEvent", 6},
    {"OnRestoreEvent", 7},
    {"OnTroubleEvent", 8},
    {"OnSystemEvent", 9},
    {"OnSystemAlarmActivate", 10},
    {"OnSystemALCUPBSwitchPress", 11},
    {"OnSystemAllOnOff", 12},
    {"OnSystemBatteryStatus", 13},
    {"OnSystemComposeCodeReceived", 14},
    {"OnSystemDCMStatusChange", 15},
    {"OnSystemEnergyCostChange", 16},
    {"OnSystemMacroButton", 17},
    {"OnSystemPhoneLineStatusChange", 18},
    {"OnSystemPowerStatusChange", 19},
    {"OnSystemSecurityArming", 20},
    {"OnSystemUnitStatusChange", 21},
    {"OnSystemUPBLink", 22},
    {"OnSystemX10CodeReceived", 23},
    {"OnSystemZoneStatusChange", 24},
    {"OnServerStatusChange", 25},
};

// ---- Collections and elements -----------------------------------------------------------------

constexpr Row kICollection[] = {
    {"Count", 0x60020000},
    {"_NewEnum", DISPID_NEWENUM},
    {"Item", DISPID_VALUE},
};
// UpdateInterval is a put/get pair: it takes 0x60030000 and 0x60030001 is not used.
constexpr Row kIZelCollection[] = {
    {"UpdateInterval", 0x60030000},
    {"ThreadTermEvent", 0x60030002},
    {"Init", 0x60030003},
    {"TryUpdate", 0x60030004},
    {"Update", 0x60030005},
    {"StopUpdate", 0x60030006},
    {"Add", 0x60030007},
    {"New", 0x60030008},
    {"SaveXML", 0x60030009},
};
constexpr Row kIZelCollectionElement[] = {
    {"Index", 0x60020000},
    {"Name", DISPID_VALUE},
    {"FriendlyName", 0x100},
    {"Display", 0x101},
    {"ID", 0x60020007},
    {"SaveXML", 0x60020008},
    {"SaveXMLSnippet", 0x60020009},
};
constexpr Row kIZelZone[] = {
    {"Area", 0x5B0},        {"Type", 0x5B1},         {"CurrCondition", 0x5B2},
    {"AlarmStatus", 0x5B3}, {"ArmingStatus", 0x5B4}, {"HadTrouble", 0x5B5},
    {"LoopReading", 0x5B6}, {"Bypass", 0x60030007},  {"Restore", 0x60030008},
};
constexpr Row kIZelZones[] = {
    {"Restore", 0x60040000},
};
constexpr Row kIZelUnit[] = {
    {"Type", 0x5A0},    {"Status", 0x5A1},   {"TimeRemaining", 0x5A2},
    {"On", 0x60030003}, {"Off", 0x60030004},
};
constexpr Row kIZelX10Unit[] = {
    {"Format", 0x5A3},   {"HouseCode", 0x5A4},    {"UnitNumber", 0x5A5},
    {"Scene", 0x5A6},    {"CurrentLevel", 0x5A7}, {"BrightenSteps", 0x5A8},
    {"DimSteps", 0x5A9}, {"Level", 0x60040007},   {"Brighten", 0x60040008},
    {"Dim", 0x60040009}, {"Ramp", 0x6004000A},    {"Compose", 0x6004000B},
};
constexpr Row kIZelCounterUnit[] = {
    {"Inc", 0x60040000},
    {"Dec", 0x60040001},
    {"Set", 0x60040002},
};
constexpr Row kIZelArea[] = {
    {"SecurityMode", 0x520}, {"Zones", 0x521},       {"Arm", 0x60030002},   {"Disarm", 0x60030003},
    {"Restore", 0x60030004}, {"AllOff", 0x60030005}, {"AllOn", 0x60030006},
};
constexpr Row kIZelAreas[] = {
    {"Arm", 0x60040000},    {"Disarm", 0x60040001}, {"Restore", 0x60040002},
    {"AllOff", 0x60040003}, {"AllOn", 0x60040004},
};

// ---- The event log ----------------------------------------------------------------------------

constexpr Row kIZelEvents[] = {
    {"ClearLog", 0x60040000},
};
// The entries' element interface: Index and Name as every element's, and its XML writers.
constexpr Row kIZelEventCollectionElement[] = {
    {"Index", 0x60020000},
    {"Name", DISPID_VALUE},
    {"SaveXML", 0x60020008},
    {"SaveXMLSnippet", 0x60020009},
};
constexpr Row kIZelEvent[] = {
    {"Type", 0x540},
    {"Time", 0x541},
    {"Data", 0x542},
};
constexpr Row kIZelAccessEvent[] = {
    {"Code", 0x543},
};
constexpr Row kIZelAlarmEvent[] = {
    {"AlarmType", 0x544},
    {"Mode", 0x545},
    {"Area", 0x546},
};
constexpr Row kIZelArmEvent[] = {
    {"AllAreas", 0x547},
    {"Area", 0x548},
    {"SecurityMode", 0x549},
    {"Code", 0x54A},
};
constexpr Row kIZelBypassEvent[] = {
    {"Mode", 0x54B},
    {"Zone", 0x54C},
    {"Code", 0x54D},
};
constexpr Row kIZelMessageEvent[] = {
    {"Message", 0x54E},
};
constexpr Row kIZelRestoreEvent[] = {
    {"AllZones", 0x54F},
    {"Zone", 0x550},
    {"Code", 0x551},
};
constexpr Row kIZelTroubleEvent[] = {
    {"TroubleType", 0x552},
    {"Zone", 0x553},
};

// ---- Classes ----------------------------------------------------------------------------------

struct ClassUnderTest {
  std::string_view name;
  const MemberTable& (*members)();
  std::vector<Interface> interfaces;
};

const std::vector<ClassUnderTest>& Classes() {
  static const std::vector<ClassUnderTest> classes = {
      {"CZelCommHandlerSerial",
       &CZelCommHandlerSerial::Members,
       {kIZelCommHandler, kIZelCommHandlerSerial}},
      {"CZelCommHandlerNetwork",
       &CZelCommHandlerNetwork::Members,
       {kIZelCommHandler, kIZelCommHandlerNetwork}},
      // The catalogue is a collection and adds nothing.
      {"CZelCommHandlers", &CZelCommHandlers::Members, {kICollection}},
      {"CZelServer", &CZelServer::Members, {kIZelServerConfig, kIZelServer, kServerLinkHealth}},
      {"CZelSystemInformation", &CZelSystemInformation::Members, {kIZelSystemInformation}},
      {"_DZelServerEvents", &ServerEventsMembers, {kDZelServerEvents, kServerEventsLinkHealth}},
      {"CZelServerExtensions", &CZelEmptyCollection::Members, {kICollection}},
      {"CZelCollectionElement", &CZelCollectionElement::Members, {kIZelCollectionElement}},
      {"CZelZone", &CZelZone::Members, {kIZelCollectionElement, kIZelZone}},
      {"CZelZones", &CZelZones::Members, {kICollection, kIZelCollection, kIZelZones}},
      {"CZelUnit", &CZelUnit::Members, {kIZelCollectionElement, kIZelUnit}},
      {"CZelVoltageUnit", &CZelVoltageUnit::Members, {kIZelCollectionElement, kIZelUnit}},
      {"CZelExpansionUnit", &CZelExpansionUnit::Members, {kIZelCollectionElement, kIZelUnit}},
      {"CZelX10Unit", &CZelX10Unit::Members, {kIZelCollectionElement, kIZelUnit, kIZelX10Unit}},
      {"CZelCounterUnit",
       &CZelCounterUnit::Members,
       {kIZelCollectionElement, kIZelUnit, kIZelCounterUnit}},
      {"CZelUnits", &CZelUnits::Members, {kICollection, kIZelCollection}},
      {"CZelArea", &CZelArea::Members, {kIZelCollectionElement, kIZelArea}},
      {"CZelAreas", &CZelAreas::Members, {kICollection, kIZelCollection, kIZelAreas}},
      {"CZelButtons", &CZelButtons::Members, {kICollection, kIZelCollection}},
      {"CZelCodes", &CZelCodes::Members, {kICollection, kIZelCollection}},
      {"CZelThermostats", &CZelThermostats::Members, {kICollection, kIZelCollection}},
      {"CZelTemperatureSensors", &CZelTemperatureSensors::Members, {kICollection, kIZelCollection}},
      {"CZelMessages", &CZelMessages::Members, {kICollection, kIZelCollection, kIZelMessages}},
      {"CZelExpansions", &CZelExpansions::Members, {kICollection, kIZelCollection}},
      {"CZelAudioSources",
       &CZelAudioSources::Members,
       {kICollection, kIZelCollection, kIZelAudioSources}},
      {"CZelAudioZones",
       &CZelAudioZones::Members,
       {kICollection, kIZelCollection, kIZelAudioZones}},
      {"CZelEvents", &CZelEvents::Members, {kICollection, kIZelCollection, kIZelEvents}},
      {"CZelEvent", &CZelEvent::Members, {kIZelEventCollectionElement, kIZelEvent}},
      {"CZelAccessEvent",
       &CZelAccessEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelAccessEvent}},
      {"CZelAlarmEvent",
       &CZelAlarmEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelAlarmEvent}},
      {"CZelArmEvent",
       &CZelArmEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelArmEvent}},
      {"CZelBypassEvent",
       &CZelBypassEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelBypassEvent}},
      {"CZelMessageEvent",
       &CZelMessageEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelMessageEvent}},
      {"CZelRestoreEvent",
       &CZelRestoreEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelRestoreEvent}},
      {"CZelTroubleEvent",
       &CZelTroubleEvent::Members,
       {kIZelEventCollectionElement, kIZelEvent, kIZelTroubleEvent}},
  };
  return classes;
}

TEST(DispidTest, EveryMemberOfEveryClassHasItsPublishedDispid) {
  for (const ClassUnderTest& c : Classes()) {
    SCOPED_TRACE(std::string(c.name));
    const MemberTable& table = c.members();
    EXPECT_EQ(c.name, table.type_name());

    std::map<std::string, DISPID, std::less<>> expected;
    for (Interface rows : c.interfaces) {
      for (const Row& row : rows) {
        // A derived interface never reuses a name of its base.
        EXPECT_TRUE(expected.emplace(std::string(row.name), row.id).second) << row.name;
      }
    }
    for (const auto& [name, id] : expected) {
      const MemberInfo* by_name = table.FindByName(name);
      ASSERT_NE(nullptr, by_name) << name << " is missing";
      EXPECT_EQ(id, by_name->dispid) << name;
      const MemberInfo* by_id = table.FindById(id);
      ASSERT_NE(nullptr, by_id) << name;
      EXPECT_EQ(name, by_id->name) << "dispid " << id << " runs another member";
    }
    // Every member the class publishes is pinned by a row.
    for (const MemberInfo& m : table.members()) {
      EXPECT_TRUE(expected.contains(m.name)) << m.name << " (" << m.dispid << ") has no row";
    }
    EXPECT_EQ(expected.size(), table.members().size());
  }
}

}  // namespace
}  // namespace zel
