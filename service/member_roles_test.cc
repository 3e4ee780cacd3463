// Every member of every class the daemon registers carries a role tag, and the members that guard
// the alarm, the codes and the link carry the right one. A class added without tags, or a tag
// loosened by mistake, fails here.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <set>

#include "events/event_entries.h"
#include "events/system_events.h"
#include "link/comm_handlers.h"
#include "link/link_classes.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/dispatch.h"
#include "platform/instance_paths.h"
#include "server/zel_server.h"
#include "utils/utils_registration.h"

namespace zel {
namespace {

// Every member table reachable in the process: the registered classes, and the objects their
// parameterless object-valued properties hand out (the transport, system information, ...).
std::map<std::string, const MemberTable*> ReachableTables() {
  // The transport catalogue is made from the registry's catalogue key: a registry of our own.
  char dir[] = "/tmp/zel_member_roles_XXXXXX";
  EXPECT_NE(nullptr, mkdtemp(dir));
  SetInstanceDir(dir);
  EXPECT_EQ(S_OK, RegisterTransportEntries(RegKey::LocalMachine()));
  RegisterLinkClasses();
  RegisterServerClasses();
  RegisterModelClasses();
  // The event log's entries (its collection needs the server's store: events/ checks its table).
  RegisterEventEntryClasses();
  RegisterSystemEventClasses();
  RegisterUtilsClasses();
  std::map<std::string, const MemberTable*> tables;
  std::vector<ComPtr<IDispatch>> objects;
  ClassRegistry& registry = ClassRegistry::Instance();
  for (const CLSID& id : registry.ClassIds()) {
    ComPtr<IDispatch> object;
    EXPECT_EQ(S_OK, registry.Create(id, IDispatch::kIid, object.ReceiveVoid()))
        << registry.ProgIdOf(id);
    if (object) objects.push_back(object);
  }
  for (size_t depth = 0; depth < 2; ++depth) {
    std::vector<ComPtr<IDispatch>> next;
    for (const ComPtr<IDispatch>& object : objects) {
      const MemberTable* table = object->GetMemberTable();
      EXPECT_NE(nullptr, table) << object->GetTypeName();
      if (table == nullptr || !tables.emplace(table->type_name(), table).second) continue;
      for (const MemberInfo& m : table->members()) {
        const Accessor* get = m.Find(DISPATCH_PROPERTYGET);
        if (get == nullptr || !get->params.empty() || get->result_vt != VT_DISPATCH) continue;
        Variant v;
        if (Succeeded(object->Invoke(m.dispid, DISPATCH_PROPERTYGET, {}, &v)) &&
            v.vt() == VT_DISPATCH && v.dispatch() != nullptr) {
          next.push_back(ComPtr<IDispatch>(v.dispatch()));
        }
      }
    }
    objects = std::move(next);
  }
  return tables;
}

class MemberRolesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tables_ = new auto(ReachableTables()); }
  static void TearDownTestSuite() {
    delete tables_;
    ClassRegistry::Instance().ReleaseSingletons();
    std::filesystem::remove_all(InstanceDir());
  }
  static Role RoleOf(const std::string& type, const std::string& member, uint16_t kind) {
    auto t = tables_->find(type);
    if (t == tables_->end()) return Role::kUntagged;
    const MemberInfo* m = t->second->FindByName(member);
    const Accessor* a = m ? m->Find(kind) : nullptr;
    return a ? a->role : Role::kUntagged;
  }
  static std::map<std::string, const MemberTable*>* tables_;
};
std::map<std::string, const MemberTable*>* MemberRolesTest::tables_ = nullptr;

TEST_F(MemberRolesTest, NoMemberOfAnyRegisteredClassIsUntagged) {
  // The walk must have found the classes the daemon serves, or the test proves nothing.
  for (const char* type : {"CZelServer",
                           "CZelCommHandlerSerial",
                           "CZelCommHandlerNetwork",
                           "CZelCommHandlers",
                           "CZelZone",
                           "CZelZones",
                           "CZelArea",
                           "CZelUnit",
                           "CZelX10Unit",
                           "CZelCounterUnit",
                           "CZelArmEvent",
                           "CZelAccessEvent",
                           "CZelThermostat",
                           "CZelTemperatureSensor",
                           "CZelButton",
                           "CZelCode",
                           "CZelMessage",
                           "CZelMessages",
                           "CZelExpansion",
                           "CZelAudioZone",
                           "CZelAudioZones",
                           "CZelAudioSource",
                           "CZelAudioSources",
                           "CBSTRCollection",
                           "CZelServerUtils"}) {
    EXPECT_TRUE(tables_->count(type)) << type;
  }
  for (const auto& [type, table] : *tables_) {
    for (const MemberInfo& m : table->members()) {
      for (const Accessor& a : m.accessors) {
        EXPECT_NE(Role::kUntagged, a.role) << type << "." << m.name << " (kind " << a.kind << ")";
      }
    }
  }
}

TEST_F(MemberRolesTest, TheRequestLockIsNeverLentToAClient) {
  // Whatever transport joins the process, its lock members stay inside it.
  const std::set<std::string> lock_members = {"BeginAtomicRequest", "EndAtomicRequest",
                                              "SendRequest"};
  size_t seen = 0;
  for (const auto& [type, table] : *tables_) {
    for (const MemberInfo& m : table->members()) {
      if (!lock_members.count(m.name)) continue;
      ++seen;
      for (const Accessor& a : m.accessors) {
        EXPECT_EQ(Role::kInProcess, a.role) << type << "." << m.name;
      }
    }
  }
  EXPECT_GE(seen, 2u);
}

struct Expected {
  const char* type;
  const char* member;
  uint16_t kind;
  Role role;
};
constexpr uint16_t kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT,
                   kCall = DISPATCH_METHOD;
constexpr Expected kExpected[] = {
    // Secrets and configuration.
    {"CZelServer", "AccessCode", kGet, Role::kAdmin},
    {"CZelServer", "AccessCode", kPut, Role::kAdmin},
    {"CZelServer", "CommunicationsHandler", kPut, Role::kAdmin},
    {"CZelServerUtils", "SetProperty", kCall, Role::kAdmin},
    {"CZelServerUtils", "ClearServerLog", kCall, Role::kAdmin},
    {"CZelServerUtils", "PlaySound", kCall, Role::kControl},
    {"CZelServer", "DownloadSetup", kPut, Role::kAdmin},
    {"CZelServer", "Start", kCall, Role::kAdmin},
    {"CZelServer", "Stop", kCall, Role::kAdmin},
    {"CZelServer", "LoadSetup", kCall, Role::kAdmin},
    {"CZelServer", "SaveSetup", kCall, Role::kAdmin},
    {"CZelServer", "SaveStatusXML", kCall, Role::kAdmin},
    {"CZelServer", "FireEvent", kCall, Role::kAdmin},
    {"CZelSystemEvents", "AddEvent", kCall, Role::kAdmin},
    {"CZelSystemEvents", "UpdateInterval", kPut, Role::kAdmin},
    {"CZelCommHandlerSerial", "Connect", kCall, Role::kAdmin},
    {"CZelCommHandlerSerial", "Disconnect", kCall, Role::kAdmin},
    {"CZelCommHandlerSerial", "Port", kPut, Role::kAdmin},
    {"CZelCommHandlerNetwork", "PrivateKey", kGet, Role::kAdmin},
    {"CZelCommHandlerNetwork", "PrivateKey", kPut, Role::kAdmin},
    {"CZelCommHandlerNetwork", "Address", kPut, Role::kAdmin},
    {"CZelCommHandlerNetwork", "Port", kPut, Role::kAdmin},
    {"CZelCommHandlerNetwork", "Connect", kCall, Role::kAdmin},
    {"CZelCommHandlerNetwork", "Disconnect", kCall, Role::kAdmin},
    {"CZelZones", "UpdateInterval", kPut, Role::kAdmin},
    {"CZelZone", "Name", kPut, Role::kAdmin},
    {"CZelArmEvent", "Time", kPut, Role::kAdmin},
    {"CZelArmEvent", "Index", kPut, Role::kAdmin},
    {"CZelCode", "AuthorityLevel", kGet, Role::kAdmin},
    {"CZelCode", "AccessStart", kGet, Role::kAdmin},
    {"CZelCode", "AccessEnd", kGet, Role::kAdmin},
    // Commands.
    {"CZelArea", "Arm", kCall, Role::kControl},
    {"CZelArea", "Disarm", kCall, Role::kControl},
    {"CZelAreas", "Arm", kCall, Role::kControl},
    {"CZelZone", "Bypass", kCall, Role::kControl},
    {"CZelZone", "Restore", kCall, Role::kControl},
    {"CZelUnit", "On", kCall, Role::kControl},
    {"CZelX10Unit", "Level", kCall, Role::kControl},
    {"CZelCounterUnit", "Set", kCall, Role::kControl},
    {"CZelServer", "OnServerStatusChange", kPut, Role::kControl},
    {"CZelThermostat", "HeatSetpointF", kPut, Role::kControl},
    {"CZelThermostat", "SystemMode", kPut, Role::kControl},
    {"CZelTemperatureSensor", "CoolSetpointC", kPut, Role::kControl},
    {"CZelTemperatureSensor", "On", kCall, Role::kControl},
    {"CZelButton", "Execute", kCall, Role::kControl},
    {"CZelMessage", "Show", kCall, Role::kControl},
    {"CZelMessage", "Say", kCall, Role::kControl},
    {"CZelMessages", "Clear", kCall, Role::kControl},
    {"CZelAudioZone", "VolumeLevel", kPut, Role::kControl},
    {"CZelAudioZone", "SelectKey", kCall, Role::kControl},
    {"CZelAudioZones", "PowerStatus", kPut, Role::kControl},
    {"CZelAudioZones", "OnAudioZoneChange", kPut, Role::kControl},
    {"CZelAudioSources", "OnAudioSourceChange", kPut, Role::kControl},
    // What every reader needs.
    {"CZelServer", "Status", kGet, Role::kRead},
    {"CZelServer", "Zones", kGet, Role::kRead},
    {"CZelServer", "SystemParametersInfo", kGet, Role::kRead},
    {"CZelServer", "Login", kCall, Role::kRead},
    {"CZelZone", "CurrCondition", kGet, Role::kRead},
    {"CZelThermostat", "TemperatureC", kGet, Role::kRead},
    {"CZelMessage", "Displayed", kGet, Role::kRead},
    {"CZelExpansion", "BatteryLevel", kGet, Role::kRead},
    {"CZelAudioZone", "Source", kGet, Role::kRead},
    {"CZelAudioSource", "Metadata", kGet, Role::kRead},
    {"CBSTRCollection", "Item", kGet, Role::kRead},
    {"CZelZones", "Item", kGet, Role::kRead},
    {"CZelCommHandlerSerial", "Port", kGet, Role::kRead},
    {"CZelCommHandlerNetwork", "Address", kGet, Role::kRead},
    {"CZelCommHandlerNetwork", "Port", kGet, Role::kRead},
    {"CZelArmEvent", "Code", kGet, Role::kRead},
    {"CZelAccessEvent", "Index", kGet, Role::kRead},
    {"CZelCommHandlers", "Count", kGet, Role::kRead},
    {"CZelCommHandlers", "Item", kCall, Role::kRead},
};

TEST_F(MemberRolesTest, GuardedMembersCarryTheirRoles) {
  for (const Expected& e : kExpected) {
    EXPECT_EQ(RoleName(e.role), RoleName(RoleOf(e.type, e.member, e.kind)))
        << e.type << "." << e.member << " kind " << e.kind;
  }
}

}  // namespace
}  // namespace zel
