// What zelmqtt publishes about the installation, read from the server through the automation
// bridge like any other client: one retained JSON state per topic, relative to the base topic.
//
//   server         {"status":16,"link":"up","linkFailures":0,"linkLastGood":45000.5,
//                   "temperatureFormat":1,"model":"...","firmware":"3.2"}
//   area/ID        {"name":"MAIN","state":"armed_away","mode":3,"alarm":false}
//   zone/ID        {"name":"FRONT DOOR","state":"open","area":1,"condition":1,"alarm":0,
//                   "arming":0,"trouble":false}
//   unit/ID        {"name":"PORCH LIGHT","state":"on","level":100,"status":1,"dimmable":true}
//   thermostat/ID  {"name":"HALL","temperatureF":72,"temperatureC":22.2,"heatSetpointF":70,...,
//                   "systemMode":1,"fanMode":0,"holdMode":0}
//   sensor/ID      {"name":"ATTIC","temperatureF":80,"temperatureC":26.7,"heatSetpointF":...}
//   button/ID      {"name":"GOOD NIGHT"}
//   message/ID     {"name":"CALL HOME","displayed":true,"acknowledged":false}
//
// A unit is dimmable when it takes levels (its element is of kDimmableUnitClass).
//
// Temperatures are given in both scales, each as the server reads it; "temperatureFormat" on the
// server topic is the installation's own setting (the controller's value).
//
// The states are this program's reading of the controller's values (their meanings are the
// controller's), in the words of the usual home automation platforms:
//   area: mode 0 disarmed; 1 and 5 armed_home; 2 and 6 armed_night; 3 armed_away;
//         4 armed_vacation; 9 to 14 (a mode being set) arming; a zone of the area in alarm
//         makes it triggered; any other mode null (unknown)
//   zone: arming status 1 or 2 (bypassed by a user, by the controller) bypassed; else
//         condition 2 or 3 trouble; else condition 1 open; else closed
//   unit: status 0 off; 100 to 200 a level of status - 100 percent (0: off); any other on
//
// Thread contract: a reader is used by one thread (it keeps one bridge session).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "bridge/client.h"

namespace zel::mqtt {

inline constexpr const char* kDimmableUnitClass = "CZelX10Unit";

// Kinds of state, to read only those an event concerns. The server's state is always read.
enum StateKinds : unsigned {
  kSecurityStates = 1,  // zones and areas (an area's state depends on its zones)
  kUnitStates = 2,
  kClimateStates = 4,  // thermostats and temperature sensors
  kButtonStates = 8,
  kMessageStates = 16,
  kAllStates = 31,
};

// The kinds of state an event of the relay (EventRelay::Simplify's form) may have changed: a
// zone, alarm or arming event the zones and areas, a unit, all-on/off or X10 event the units,
// any other event everything.
unsigned StateKindsOfEvent(const bridge::Json& event);

// The mappings above, on their own for the tests.
std::optional<std::string> AreaStateName(int mode, bool alarm);
std::string ZoneStateName(int condition, int arming);
std::string UnitStateName(int status);
std::optional<int> UnitLevel(int status);

class InstallationReader {
 public:
  using Json = bridge::Json;
  explicit InstallationReader(bridge::ClientOptions options) : client_(std::move(options)) {}

  // Reads every state; *states maps topic (relative) to payload. A bridge failure is returned
  // (and the session is opened afresh on the next call).
  HRESULT ReadAll(std::map<std::string, std::string>* states) { return Read(kAllStates, states); }
  // Reads the server's state and those of `kinds` (StateKinds); the others are as the last
  // read gave them (all are read when nothing was read yet).
  HRESULT Read(unsigned kinds, std::map<std::string, std::string>* states);
  // Calls `member` with `args` on the element whose ID is `id` in the server's collection
  // `collection` ("Areas", ...), or assigns *put_value to it when given; *reply is the bridge's
  // reply. DISP_E_BADINDEX when no element has the ID.
  HRESULT CallOnElement(const char* collection, int id, const std::string& member, const Json& args,
                        Json* reply, const Json* put_value = nullptr);

 private:
  HRESULT Open();
  HRESULT Op(const Json& request, Json* reply);
  // The value of a property (member of object, with args): its "result" JSON.
  HRESULT Get(const std::string& object, const std::string& member, Json* result,
              const Json& args = Json::array());
  // An object property (or Item(i)): its handle, and its class when cls is given.
  HRESULT Handle(const std::string& object, const std::string& member, std::string* handle,
                 const Json& args = Json::array(), std::string* cls = nullptr);
  void Release(const std::string& handle);
  // Calls each(element handle, element class) for every element of the server's collection `name`.
  template <class Each>
  HRESULT ForEach(const char* name, Each each);

  bridge::BridgeClient client_;
  std::string server_;                       // the server object's handle, "" until opened
  std::map<std::string, std::string> last_;  // the last states read
  bool read_all_ = false;                    // every kind has been read once
  std::map<int, int> zone_areas_;            // zone ID -> its area's ID, as last read
};

}  // namespace zel::mqtt
