// FireEvent: routing of log and system events to handlers and sinks (cell by cell), the order of
// delivery, the refresh of the object model before it, events outside ssInteractive, objects that
// are no event, handlers and sinks that misbehave; the page hooks against a fake script host.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "events/event_interfaces.h"
#include "model/collection_interfaces.h"
#include "server/collection_slots.h"
#include "server/delivery_lanes.h"
#include "server/event_routing.h"
#include "server/recording_sink.h"
#include "server/script_host.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

// A dispatch object whose properties are a name -> value map (dispids by position + 1).
template <class Interface>
class PropertyObject : public Interface {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  explicit PropertyObject(std::map<std::string, Variant> properties)
      : properties_(std::move(properties)) {}
  HRESULT GetIDOfName(std::string_view name, DISPID* dispid) override {
    DISPID id = 1;
    for (const auto& [key, value] : properties_) {
      if (key == name) {
        *dispid = id;
        return S_OK;
      }
      ++id;
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant>,
                 Variant* result) override {
    if (flags != DISPATCH_PROPERTYGET) return DISP_E_MEMBERNOTFOUND;
    DISPID id = 1;
    for (const auto& [key, value] : properties_) {
      if (id++ == dispid) {
        if (value.vt() == VT_ERROR) return value.scode();  // a getter that fails
        if (result != nullptr) *result = value;
        return S_OK;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  std::map<std::string, Variant> properties_;
};

class PlainObject final : public PropertyObject<IDispatch> {
 public:
  using PropertyObject::PropertyObject;
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
};

// The parts of an event object FireEvent reads: its interface, Type and the named properties.
template <class EventInterface>
class FakeEvent final : public PropertyObject<EventInterface> {
 public:
  FakeEvent(Variant type, std::map<std::string, Variant> properties)
      : PropertyObject<EventInterface>(std::move(properties)), type_(std::move(type)) {}
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<EventInterface, IZelEventCollectionElement, IDispatch>(this, iid, ppv);
  }
  HRESULT get_Type(Variant* type) override {
    if (type_.vt() == VT_ERROR) return type_.scode();
    *type = type_;
    return S_OK;
  }
  HRESULT get_Index(Variant*) override { return E_NOTIMPL; }
  HRESULT put_Index(Variant) override { return E_NOTIMPL; }
  HRESULT get_Name(BStr*) override { return E_NOTIMPL; }
  HRESULT put_Name(BStr) override { return E_NOTIMPL; }
  HRESULT SaveXML(Variant) override { return E_NOTIMPL; }
  HRESULT SaveXMLSnippet(Variant) override { return E_NOTIMPL; }
  HRESULT get_Time(Variant*) override { return E_NOTIMPL; }
  HRESULT put_Time(Variant) override { return E_NOTIMPL; }
  HRESULT put_Type(Variant) { return E_NOTIMPL; }
  HRESULT get_Data(Variant*) { return E_NOTIMPL; }
  HRESULT put_Data(Variant) { return E_NOTIMPL; }
  HRESULT get_Code(Variant*) { return E_NOTIMPL; }
  HRESULT put_Code(Variant) { return E_NOTIMPL; }

 private:
  Variant type_;
};
using LogEvent = FakeEvent<IZelEvent>;
using SystemEvent = FakeEvent<IZelSystemEvent>;

// A collection that records its updates into the call log ("Zones.Update" with the position,
// 0 for every element) and answers nothing else.
class RecordingCollection final : public IZelCollection {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  RecordingCollection(std::string name, CallLog* log) : name_(std::move(name)), log_(log) {}
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCollection, ICollection, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT get_Count(int32_t*) override { return E_NOTIMPL; }
  HRESULT get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT Item(Variant, Variant, Variant*) override { return E_NOTIMPL; }
  HRESULT put_UpdateInterval(Variant) override { return E_NOTIMPL; }
  HRESULT get_UpdateInterval(Variant*) override { return E_NOTIMPL; }
  HRESULT get_ThreadTermEvent(Variant*) override { return E_NOTIMPL; }
  HRESULT Init() override { return E_NOTIMPL; }
  HRESULT TryUpdate(bool fire, uint32_t index) override { return Record("TryUpdate", fire, index); }
  HRESULT Update(bool fire, uint32_t index) override { return Record("Update", fire, index); }
  HRESULT StopUpdate() override { return S_OK; }
  HRESULT Add(Variant, Variant) override { return E_NOTIMPL; }
  HRESULT New(BStr, Variant, Variant*) override { return E_NOTIMPL; }
  HRESULT SaveXML(Variant) override { return E_NOTIMPL; }

 private:
  HRESULT Record(const std::string& what, bool fire, uint32_t index) {
    std::lock_guard<std::mutex> g(log_->mu);
    log_->calls.push_back({name_ + "." + what,
                           0,
                           {Variant::Bool(fire), Variant::UI4(index == kAllElements ? 0 : index)}});
    return S_OK;
  }
  std::string name_;
  CallLog* log_;
};

class FireEventTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    for (auto [slot, name] :
         {std::pair{kSlotZones, "Zones"}, std::pair{kSlotUnits, "Units"},
          std::pair{kSlotAreas, "Areas"}, std::pair{kSlotMessages, "Messages"}}) {
      CollectionSlotHooks hooks;
      std::string label = name;
      hooks.create = [this, label](IDispatch** c) {
        *c = MakeObject<RecordingCollection>(label, &log_).Detach();
        return S_OK;
      };
      RegisterCollectionSlot(slot, std::move(hooks));
    }
    server_->ChangeStatus(ssInteractive, S_OK);
  }
  void TearDown() override {
    server_.reset();
    for (int slot : {kSlotZones, kSlotUnits, kSlotAreas, kSlotMessages}) {
      UnregisterCollectionSlot(slot);
    }
    ServerTest::TearDown();
  }

  // A recording handler in every slot and one recording sink.
  void WatchEverything() {
    for (int slot = 0; slot < kHandlerSlotCount; ++slot) {
      ASSERT_EQ(S_OK,
                server_->PutHandler(
                    slot, Variant::Dispatch(
                              MakeObject<RecordingSink>(
                                  "handler:" + std::string(kHandlerPropertyNames[slot]), &log_)
                                  .get())));
    }
    Advise(MakeObject<RecordingSink>("sink", &log_).get());
  }
  uint32_t Advise(IDispatch* sink) {
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
    uint32_t cookie = 0;
    EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
    return cookie;
  }
  // Every call as "who" or "sink:<member>", refreshes as "Zones.Update(3)".
  std::vector<std::string> Trace() {
    std::vector<std::string> out;
    for (const CallLog::Call& c : log_.Snapshot()) {
      if (c.who == "sink") {
        out.push_back("sink:" + std::string(kServerEventNames.at(c.dispid - 1)));
      } else if (c.who.find('.') != std::string::npos) {
        out.push_back(c.who + "(" + std::to_string(c.args[1].ui4()) + ")");
      } else {
        out.push_back(c.who);
      }
    }
    return out;
  }

  CallLog log_;
};

// Each log event type: the member besides OnEvent, cell by cell.
TEST(EventRoutingTest, LogEventTypes) {
  std::map<int32_t, std::string_view> expected = {
      {4, "OnBypassEvent"},    {5, "OnRestoreEvent"},   {6, "OnRestoreEvent"},
      {48, "OnArmEvent"},      {49, "OnArmEvent"},      {50, "OnArmEvent"},
      {51, "OnArmEvent"},      {52, "OnArmEvent"},      {53, "OnArmEvent"},
      {54, "OnArmEvent"},      {128, "OnTroubleEvent"}, {129, "OnTroubleEvent"},
      {130, "OnAccessEvent"},  {132, "OnBypassEvent"},  {133, "OnTroubleEvent"},
      {134, "OnAccessEvent"},  {135, "OnAlarmEvent"},   {136, "OnAlarmEvent"},
      {138, "OnMessageEvent"},
  };
  for (int32_t type = -1; type <= 300; ++type) {
    auto it = expected.find(type);
    EXPECT_EQ(it == expected.end() ? std::string_view() : it->second, LogEventMember(type)) << type;
  }
}

TEST(EventRoutingTest, SystemEventTypes) {
  const std::vector<std::string_view> expected = {
      "",  // 0
      "OnSystemPhoneLineStatusChange",
      "OnSystemPhoneLineStatusChange",
      "OnSystemPhoneLineStatusChange",
      "OnSystemPhoneLineStatusChange",
      "OnSystemPowerStatusChange",
      "OnSystemPowerStatusChange",
      "OnSystemBatteryStatus",
      "OnSystemBatteryStatus",
      "OnSystemDCMStatusChange",
      "OnSystemDCMStatusChange",
      "OnSystemEnergyCostChange",
      "OnSystemEnergyCostChange",
      "OnSystemEnergyCostChange",
      "OnSystemEnergyCostChange",
      "OnSystemMacroButton",
      "OnSystemAlarmActivate",
      "OnSystemZoneStatusChange",
      "OnSystemUnitStatusChange",
      "OnSystemX10CodeReceived",
      "OnSystemSecurityArming",
      "OnSystemAllOnOff",
      "OnSystemComposeCodeReceived",
      "OnSystemALCUPBSwitchPress",
      "OnSystemUPBLink",
      "",
      "",
      "",  // 25 to 27
  };
  for (size_t type = 0; type < expected.size(); ++type) {
    EXPECT_EQ(expected[type], SystemEventMember(static_cast<int32_t>(type))) << type;
  }
  EXPECT_EQ("", SystemEventMember(-1));
}

// Slot = dispid of the property - 0x60E; sink dispid = position in the outgoing interface + 1.
TEST(EventRoutingTest, MembersByHandlerSlotAndSinkDispid) {
  const std::vector<std::tuple<std::string_view, DISPID, DISPID>> table = {
      {"OnEvent", 0x60E, 1},
      {"OnAccessEvent", 0x60F, 2},
      {"OnAlarmEvent", 0x610, 3},
      {"OnArmEvent", 0x611, 4},
      {"OnBypassEvent", 0x612, 5},
      {"OnMessageEvent", 0x613, 6},
      {"OnRestoreEvent", 0x614, 7},
      {"OnTroubleEvent", 0x615, 8},
      {"OnSystemEvent", 0x616, 9},
      {"OnSystemAlarmActivate", 0x617, 10},
      {"OnSystemAllOnOff", 0x618, 12},
      {"OnSystemBatteryStatus", 0x619, 13},
      {"OnSystemDCMStatusChange", 0x61A, 15},
      {"OnSystemEnergyCostChange", 0x61B, 16},
      {"OnSystemMacroButton", 0x61C, 17},
      {"OnSystemPhoneLineStatusChange", 0x61D, 18},
      {"OnSystemPowerStatusChange", 0x61E, 19},
      {"OnSystemSecurityArming", 0x61F, 20},
      {"OnSystemUnitStatusChange", 0x620, 21},
      {"OnSystemX10CodeReceived", 0x621, 23},
      {"OnSystemZoneStatusChange", 0x622, 24},
      {"OnSystemComposeCodeReceived", 0x623, 14},
      {"OnSystemALCUPBSwitchPress", 0x624, 11},
      {"OnSystemUPBLink", 0x625, 22},
      {"OnServerStatusChange", 0x626, 25},
  };
  ASSERT_EQ(25u, table.size());
  for (const auto& [name, property, sink] : table) {
    std::optional<EventMember> m = EventMemberNamed(name);
    ASSERT_TRUE(m.has_value()) << name;
    EXPECT_EQ(property - 0x60E, m->slot) << name;
    EXPECT_EQ(sink, m->sink) << name;
    const MemberInfo* info = CZelServer::Members().FindById(property);
    ASSERT_NE(nullptr, info) << name;
    EXPECT_EQ(name, info->name);
    EXPECT_NE(nullptr, info->Find(DISPATCH_PROPERTYPUT)) << name;
    EXPECT_EQ(nullptr, info->Find(DISPATCH_PROPERTYGET)) << name;
  }
  EXPECT_FALSE(EventMemberNamed("").has_value());
}

TEST(EventRoutingTest, RefreshRules) {
  for (int32_t type = 0; type <= 300; ++type) {
    LogRefresh expected = LogRefresh::kNothing;
    if (type == 4 || type == 5 || type == 6 || type == 128 || type == 129 || type == 132 ||
        type == 133) {
      expected = LogRefresh::kAllZones;
    } else if ((type >= 48 && type <= 54) || type == 135 || type == 136) {
      expected = LogRefresh::kAreaThenZones;
    } else if (type == 138) {
      expected = LogRefresh::kAllMessages;
    }
    EXPECT_EQ(expected, LogEventRefresh(type)) << type;
    SystemRefresh system = type == 17   ? SystemRefresh::kZone
                           : type == 18 ? SystemRefresh::kUnit
                           : type == 20 ? SystemRefresh::kZonesIfNoDelay
                                        : SystemRefresh::kNothing;
    EXPECT_EQ(system, SystemEventRefresh(type)) << type;
  }
}

TEST_F(FireEventTest, ArmingEventRefreshesAreaAndZonesThenHandlersThenSinks) {
  WatchEverything();
  auto area = MakeObject<PlainObject>(std::map<std::string, Variant>{{"Index", Variant::I4(2)}});
  auto event = MakeObject<LogEvent>(
      Variant::I4(50), std::map<std::string, Variant>{{"Area", Variant::Dispatch(area.get())}});
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  EXPECT_EQ((std::vector<std::string>{"Areas.Update(2)", "Zones.Update(0)", "handler:OnEvent",
                                      "handler:OnArmEvent", "sink:OnEvent", "sink:OnArmEvent"}),
            Trace());
  // Every call passes the event object itself, refreshes are silent.
  for (const CallLog::Call& c : log_.Snapshot()) {
    if (c.who.find('.') != std::string::npos) {
      EXPECT_EQ(Variant::Bool(false), c.args[0]);
    } else {
      ASSERT_EQ(1u, c.args.size());
      EXPECT_EQ(static_cast<IDispatch*>(event.get()), c.args[0].dispatch());
    }
  }
  // Handlers at dispid 0; sinks at their member's dispid.
  EXPECT_EQ(DISPID_VALUE, log_.Snapshot()[2].dispid);
}

TEST_F(FireEventTest, AreaThatCannotBeFoundTriesEveryArea) {
  WatchEverything();
  // No Area property, an Area that is not an object, an element without a readable Index.
  auto no_index = MakeObject<PlainObject>(std::map<std::string, Variant>{});
  for (std::map<std::string, Variant> properties : {std::map<std::string, Variant>{},
                                                    {{"Area", Variant::I4(2)}},
                                                    {{"Area", Variant::Dispatch(no_index.get())}},
                                                    {{"Area", Variant::Error(E_FAIL)}}}) {
    log_.calls.clear();
    auto event = MakeObject<LogEvent>(Variant::I4(135), properties);
    EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
    EXPECT_EQ(
        (std::vector<std::string>{"Areas.TryUpdate(0)", "Zones.Update(0)", "handler:OnEvent",
                                  "handler:OnAlarmEvent", "sink:OnEvent", "sink:OnAlarmEvent"}),
        Trace());
  }
}

TEST_F(FireEventTest, LogEventsRefreshByType) {
  WatchEverything();
  const std::vector<std::pair<int32_t, std::vector<std::string>>> cases = {
      {4,
       {"Zones.Update(0)", "handler:OnEvent", "handler:OnBypassEvent", "sink:OnEvent",
        "sink:OnBypassEvent"}},
      {133,
       {"Zones.Update(0)", "handler:OnEvent", "handler:OnTroubleEvent", "sink:OnEvent",
        "sink:OnTroubleEvent"}},
      {138,
       {"Messages.TryUpdate(0)", "handler:OnEvent", "handler:OnMessageEvent", "sink:OnEvent",
        "sink:OnMessageEvent"}},
      // 131 (and 137) reach only OnEvent and refresh nothing.
      {131, {"handler:OnEvent", "sink:OnEvent"}},
      {137, {"handler:OnEvent", "sink:OnEvent"}},
      {130, {"handler:OnEvent", "handler:OnAccessEvent", "sink:OnEvent", "sink:OnAccessEvent"}},
  };
  for (const auto& [type, expected] : cases) {
    log_.calls.clear();
    EXPECT_EQ(S_OK,
              server_->FireEvent(
                  MakeObject<LogEvent>(Variant::I4(type), std::map<std::string, Variant>{}).get()));
    EXPECT_EQ(expected, Trace()) << type;
  }
}

TEST_F(FireEventTest, SystemEventsRefreshTheirZoneOrUnit) {
  WatchEverything();
  auto zone = MakeObject<PlainObject>(std::map<std::string, Variant>{{"Index", Variant::I4(7)}});
  auto unit = MakeObject<PlainObject>(std::map<std::string, Variant>{{"Index", Variant::UI4(3)}});
  struct Case {
    int32_t type;
    std::map<std::string, Variant> properties;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {17,
       {{"Zone", Variant::Dispatch(zone.get())}},
       {"Zones.Update(7)", "handler:OnSystemEvent", "handler:OnSystemZoneStatusChange",
        "sink:OnSystemEvent", "sink:OnSystemZoneStatusChange"}},
      {17,
       {{"Zone", Variant::Error(DISP_E_BADINDEX)}},
       {"Zones.TryUpdate(0)", "handler:OnSystemEvent", "handler:OnSystemZoneStatusChange",
        "sink:OnSystemEvent", "sink:OnSystemZoneStatusChange"}},
      {18,
       {{"Unit", Variant::Dispatch(unit.get())}},
       {"Units.Update(3)", "handler:OnSystemEvent", "handler:OnSystemUnitStatusChange",
        "sink:OnSystemEvent", "sink:OnSystemUnitStatusChange"}},
      {18,
       {},
       {"Units.TryUpdate(0)", "handler:OnSystemEvent", "handler:OnSystemUnitStatusChange",
        "sink:OnSystemEvent", "sink:OnSystemUnitStatusChange"}},
      {20,
       {{"ExitDelay", Variant::I4(0)}},
       {"Zones.Update(0)", "handler:OnSystemEvent", "handler:OnSystemSecurityArming",
        "sink:OnSystemEvent", "sink:OnSystemSecurityArming"}},
      // An exit delay, or a delay that is not the 4-byte integer 0, refreshes nothing.
      {20,
       {{"ExitDelay", Variant::I4(1)}},
       {"handler:OnSystemEvent", "handler:OnSystemSecurityArming", "sink:OnSystemEvent",
        "sink:OnSystemSecurityArming"}},
      {20,
       {{"ExitDelay", Variant::I2(0)}},
       {"handler:OnSystemEvent", "handler:OnSystemSecurityArming", "sink:OnSystemEvent",
        "sink:OnSystemSecurityArming"}},
      // Type 0 (and 25) reach only OnSystemEvent.
      {0, {}, {"handler:OnSystemEvent", "sink:OnSystemEvent"}},
      {25, {}, {"handler:OnSystemEvent", "sink:OnSystemEvent"}},
      {1,
       {},
       {"handler:OnSystemEvent", "handler:OnSystemPhoneLineStatusChange", "sink:OnSystemEvent",
        "sink:OnSystemPhoneLineStatusChange"}},
  };
  for (const Case& c : cases) {
    log_.calls.clear();
    EXPECT_EQ(S_OK,
              server_->FireEvent(MakeObject<SystemEvent>(Variant::I4(c.type), c.properties).get()));
    EXPECT_EQ(c.expected, Trace()) << c.type;
  }
}

TEST_F(FireEventTest, NothingIsDeliveredOutsideInteractive) {
  WatchEverything();
  for (ServerStatus status : {ssStarting, ssInitializing, ssStopping, ssStopped, ssFailure}) {
    server_->ChangeStatus(status, S_OK);
    log_.calls.clear();
    auto event = MakeObject<SystemEvent>(Variant::I4(17), std::map<std::string, Variant>{});
    EXPECT_EQ(E_FAIL, server_->FireEvent(event.get())) << status;
    EXPECT_TRUE(log_.Snapshot().empty()) << status;
  }
}

TEST_F(FireEventTest, ObjectsThatAreNoEventCallNobody) {
  WatchEverything();
  auto plain = MakeObject<PlainObject>(std::map<std::string, Variant>{{"Type", Variant::I4(50)}});
  EXPECT_EQ(E_NOINTERFACE, server_->FireEvent(plain.get()));
  EXPECT_EQ(E_POINTER, server_->FireEvent(nullptr));
  // Through dispatch, with something that is not an object at all.
  Variant number = Variant::I4(5);
  EXPECT_NE(S_OK, server_->Invoke(kDispidFireEvent, DISPATCH_METHOD, {&number, 1}, nullptr));
  // A Type that cannot be read is returned, and nothing is delivered.
  auto broken =
      MakeObject<LogEvent>(Variant::Error(E_ACCESSDENIED), std::map<std::string, Variant>{});
  EXPECT_EQ(E_ACCESSDENIED, server_->FireEvent(broken.get()));
  EXPECT_TRUE(log_.Snapshot().empty());
}

// Handlers and sinks that fail, throw, or empty their own slot or connection during the call
// affect only their own delivery.
TEST_F(FireEventTest, MisbehavingHandlersAndSinksDoNotStopTheOthers) {
  const int general = 8, zone = 20;
  // The general handler throws; a first sink fails; a second throws; a third unadvises itself.
  ASSERT_EQ(S_OK, server_->PutHandler(general,
                                      Variant::Dispatch(MakeObject<CallbackSink>([]() -> HRESULT {
                                                          throw std::runtime_error("handler");
                                                        }).get())));
  // The zone handler empties its own slot while it runs (its last reference is the server's).
  ASSERT_EQ(S_OK, server_->PutHandler(zone, Variant::Dispatch(MakeObject<CallbackSink>([this] {
                                                                return server_->PutHandler(
                                                                    20, Variant::Null());
                                                              }).get())));
  Advise(MakeObject<CallbackSink>([] { return E_FAIL; }).get());
  Advise(MakeObject<CallbackSink>([]() -> HRESULT { throw 5; }).get());
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
  uint32_t self_cookie = 0;
  self_cookie =
      Advise(MakeObject<CallbackSink>([&] { return point->Unadvise(self_cookie); }).get());
  Advise(MakeObject<RecordingSink>("sink", &log_).get());

  auto event = MakeObject<SystemEvent>(Variant::I4(17), std::map<std::string, Variant>{});
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  EXPECT_EQ((std::vector<std::string>{"Zones.TryUpdate(0)", "sink:OnSystemEvent",
                                      "sink:OnSystemZoneStatusChange"}),
            Trace());
  Variant count;
  ASSERT_EQ(S_OK, server_->get_EventConnections(&count));
  EXPECT_EQ(Variant::I4(3), count);  // the self-removing sink is gone
  // The slot that emptied itself stays empty.
  log_.calls.clear();
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  EXPECT_EQ((std::vector<std::string>{"Zones.TryUpdate(0)", "sink:OnSystemEvent",
                                      "sink:OnSystemZoneStatusChange"}),
            Trace());
}

// A handler that blocks does not hold the server: clients go on calling it meanwhile.
TEST_F(FireEventTest, BlockedHandlerHoldsNoLockOfTheServer) {
  std::mutex gate;
  gate.lock();
  std::atomic<bool> entered{false};
  ASSERT_EQ(S_OK, server_->PutHandler(8, Variant::Dispatch(MakeObject<CallbackSink>([&] {
                                                             entered = true;
                                                             std::lock_guard<std::mutex> wait(gate);
                                                             return S_OK;
                                                           }).get())));
  auto event = MakeObject<SystemEvent>(Variant::I4(0), std::map<std::string, Variant>{});
  std::thread firing([&] { (void)server_->FireEvent(event.get()); });
  while (!entered) std::this_thread::yield();
  // Meanwhile: another event from another thread, a handler put, a status read, a sink advised.
  ASSERT_EQ(S_OK, server_->PutHandler(8, Variant::Null()));
  Advise(MakeObject<RecordingSink>("sink", &log_).get());
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  int32_t status = 0;
  EXPECT_EQ(S_OK, server_->get_Status(&status));
  EXPECT_EQ((std::vector<std::string>{"sink:OnSystemEvent"}), Trace());
  gate.unlock();
  firing.join();
}

// A sink or handler that waits for a gate (at most 5 s, so that a regression fails rather than
// hangs) before it records the call like RecordingSink.
class GatedSink final : public IDispatch {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  GatedSink(ManualResetEvent* gate, std::string name, CallLog* log)
      : gate_(gate), inner_(MakeObject<RecordingSink>(std::move(name), log)) {}
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant> args,
                 Variant* result) override {
    (void)gate_->WaitFor(Millis(5000));
    return inner_->Invoke(dispid, flags, args, result);
  }

 private:
  ManualResetEvent* gate_;
  ComPtr<RecordingSink> inner_;
};

// A handler and a sink that block for as long as they like hold up only their own calls: the
// other handler and the sink connected after the blocked one get every event and status change
// meanwhile, the firings wait once for each blocked recipient (and not again once it is known
// to be busy), and the blocked ones get their calls afterwards in the order they were fired.
TEST_F(FireEventTest, RecipientsThatBlockDelayOnlyTheirOwnCalls) {
  RecordingClock recording(1);
  ScopedClock scoped(&recording);
  ManualResetEvent gate;
  CallLog slow;
  ASSERT_EQ(S_OK, server_->PutHandler(
                      8, Variant::Dispatch(MakeObject<GatedSink>(&gate, "handler", &slow).get())));
  ASSERT_EQ(S_OK,
            server_->PutHandler(
                20, Variant::Dispatch(MakeObject<RecordingSink>("zone handler", &log_).get())));
  Advise(MakeObject<GatedSink>(&gate, "sink", &slow).get());  // connected first
  Advise(MakeObject<RecordingSink>("sink", &log_).get());

  auto event = MakeObject<SystemEvent>(Variant::I4(17), std::map<std::string, Variant>{});
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  server_->ChangeStatus(ssInteractive, S_OK);
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));

  EXPECT_EQ((std::vector<std::string>{"Zones.TryUpdate(0)", "zone handler", "sink:OnSystemEvent",
                                      "sink:OnSystemZoneStatusChange", "sink:OnServerStatusChange",
                                      "Zones.TryUpdate(0)", "zone handler", "sink:OnSystemEvent",
                                      "sink:OnSystemZoneStatusChange"}),
            Trace());
  EXPECT_TRUE(slow.Snapshot().empty());
  // One wait per call to a recipient that answers (2 handler calls, 5 sink calls), and one for
  // each blocked recipient's first call.
  std::vector<int64_t> waits = recording.waits();
  EXPECT_EQ(2 + 5 + 2,
            std::count(waits.begin(), waits.end(), DeliveryLanes::kDeliveryWait.count()));

  gate.Set();
  for (int i = 0; i < 5000 && slow.Snapshot().size() < 7; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::vector<std::pair<std::string, DISPID>> calls;
  for (const CallLog::Call& c : slow.Snapshot()) calls.emplace_back(c.who, c.dispid);
  auto sink = [](std::string_view name) {
    return std::pair<std::string, DISPID>{"sink", ServerEventDispid(name)};
  };
  // Each recipient's own order; the two lanes run side by side, so only that is fixed.
  std::vector<std::pair<std::string, DISPID>> handler_calls, sink_calls;
  for (const auto& c : calls) (c.first == "handler" ? handler_calls : sink_calls).push_back(c);
  EXPECT_EQ((std::vector<std::pair<std::string, DISPID>>{{"handler", DISPID_VALUE},
                                                         {"handler", DISPID_VALUE}}),
            handler_calls);
  EXPECT_EQ(
      (std::vector<std::pair<std::string, DISPID>>{
          sink("OnSystemEvent"), sink("OnSystemZoneStatusChange"), sink("OnServerStatusChange"),
          sink("OnSystemEvent"), sink("OnSystemZoneStatusChange")}),
      sink_calls);
  std::vector<int32_t> statuses = slow.Statuses("sink");
  EXPECT_EQ((std::vector<int32_t>{ssInteractive}), statuses);
}

// Sinks that answer in time are called as if inline: each member goes to every sink in connection
// order before the next member goes out.
TEST_F(FireEventTest, SinksThatAnswerAreCalledMemberByMemberInConnectionOrder) {
  Advise(MakeObject<RecordingSink>("a", &log_).get());
  Advise(MakeObject<RecordingSink>("b", &log_).get());
  auto event = MakeObject<LogEvent>(Variant::I4(4), std::map<std::string, Variant>{});
  EXPECT_EQ(S_OK, server_->FireEvent(event.get()));
  std::vector<std::pair<std::string, DISPID>> calls;
  for (const CallLog::Call& c : log_.Snapshot()) {
    if (c.who == "a" || c.who == "b") calls.emplace_back(c.who, c.dispid);
  }
  const DISPID general = ServerEventDispid("OnEvent");
  const DISPID bypass = ServerEventDispid("OnBypassEvent");
  EXPECT_EQ((std::vector<std::pair<std::string, DISPID>>{
                {"a", general}, {"b", general}, {"a", bypass}, {"b", bypass}}),
            calls);
}

// Waits for a call at their production length (250 ms, ample for a lane's thread to start on a
// loaded machine), the lanes' idle time 1000 times shorter; every duration asked for is recorded.
class ShortIdleClock final : public RecordingClock {
 public:
  ShortIdleClock() : RecordingClock(1) {}
  Millis Scaled(Millis production) override {
    Millis real = RecordingClock::Scaled(production);
    // 100 ms: long enough that a loaded machine does not end a lane between two calls.
    return production == DeliveryLanes::kLaneIdle ? real / 100 : real;
  }
};

// Lanes: a recipient that answers is called as if inline; a lane idle for kLaneIdle ends its
// thread, and the next call starts a new one.
TEST(DeliveryLanesTest, CallsRunInOrderAndIdleLanesEnd) {
  ShortIdleClock clock;
  ScopedClock scoped(&clock);
  DeliveryLanes lanes;
  std::vector<int> order;
  int a = 0, b = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(lanes.Deliver(i % 2 ? &a : &b, [&order, i] { order.push_back(i); }));
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), order);  // each finished before the next began
  for (int i = 0; i < 5000 && lanes.lane_count() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(0u, lanes.lane_count());
  // Each lane's thread was given the idle time once; each call, the delivery wait.
  std::vector<int64_t> waits = clock.waits();
  EXPECT_EQ(2, std::count(waits.begin(), waits.end(), DeliveryLanes::kLaneIdle.count()));
  EXPECT_EQ(4, std::count(waits.begin(), waits.end(), DeliveryLanes::kDeliveryWait.count()));
  EXPECT_EQ(10000, DeliveryLanes::kLaneIdle.count());
  EXPECT_EQ(250, DeliveryLanes::kDeliveryWait.count());
  EXPECT_TRUE(lanes.Deliver(&a, [&order] { order.push_back(4); }));
  EXPECT_EQ(5u, order.size());
}

TEST_F(FireEventTest, EventConnectionsCountsSinks) {
  Variant count;
  ASSERT_EQ(S_OK, server_->Invoke(kDispidEventConnections, DISPATCH_PROPERTYGET, {}, &count));
  EXPECT_EQ(Variant::I4(0), count);
  uint32_t a = Advise(MakeObject<RecordingSink>("a", &log_).get());
  Advise(MakeObject<RecordingSink>("b", &log_).get());
  ASSERT_EQ(S_OK, server_->get_EventConnections(&count));
  EXPECT_EQ(Variant::I4(2), count);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, server_->FindConnectionPoint(kIidDZelServerEvents, point.Receive()));
  ASSERT_EQ(S_OK, point->Unadvise(a));
  ASSERT_EQ(S_OK, server_->get_EventConnections(&count));
  EXPECT_EQ(Variant::I4(1), count);
  EXPECT_EQ(E_POINTER, server_->get_EventConnections(nullptr));
}

TEST_F(FireEventTest, ReplacingAHandlerReleasesTheFirstBeforeKeepingTheSecond) {
  auto first = MakeObject<RecordingSink>("first", &log_);
  auto second = MakeObject<RecordingSink>("second", &log_);
  Variant v1 = Variant::Dispatch(first.get());
  ASSERT_EQ(S_OK, server_->Invoke(0x622, DISPATCH_PROPERTYPUT, {&v1, 1}, nullptr));
  v1.Clear();
  EXPECT_EQ(2u, first->RefCountForTesting());
  Variant v2 = Variant::Dispatch(second.get());
  ASSERT_EQ(S_OK, server_->Invoke(0x622, DISPATCH_PROPERTYPUT, {&v2, 1}, nullptr));
  v2.Clear();
  EXPECT_EQ(1u, first->RefCountForTesting());
  EXPECT_EQ(2u, second->RefCountForTesting());
  auto event = MakeObject<SystemEvent>(Variant::I4(17), std::map<std::string, Variant>{});
  ASSERT_EQ(S_OK, server_->FireEvent(event.get()));
  EXPECT_EQ((std::vector<std::string>{"Zones.TryUpdate(0)", "second"}), Trace());
  // A value that is neither an object nor null leaves the slot as it is.
  for (Variant bad : {Variant::I4(1), Variant::Str("x"), Variant(), Variant::Bool(true)}) {
    EXPECT_EQ(E_UNEXPECTED, server_->PutHandler(20, bad));
  }
  EXPECT_EQ(2u, second->RefCountForTesting());
}

// ---- Page hooks ----

class FakeScriptHost final : public IScriptingContext {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  explicit FakeScriptHost(int missing) : missing_(missing) {
    for (auto& o : objects_) o = MakeObject<PlainObject>(std::map<std::string, Variant>{});
  }
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IScriptingContext>(this, iid, ppv);
  }
  HRESULT get_Application(IDispatch** o) override { return Give(0, o); }
  HRESULT get_Request(IDispatch** o) override { return Give(1, o); }
  HRESULT get_Response(IDispatch** o) override { return Give(2, o); }
  HRESULT get_Server(IDispatch** o) override { return Give(3, o); }
  HRESULT get_Session(IDispatch** o) override { return Give(4, o); }
  uint32_t Refs(int i) const { return objects_[i]->RefCountForTesting(); }

 private:
  HRESULT Give(int i, IDispatch** o) {
    if (i == missing_) return E_FAIL;
    *o = ComPtr<IDispatch>(objects_[i].get()).Detach();
    return S_OK;
  }
  int missing_;
  ComPtr<PlainObject> objects_[5];
};

TEST_F(ServerTest, PageStartsOnlyWithAllFiveObjects) {
  EXPECT_EQ(E_POINTER, server_->OnStartPage(nullptr));
  auto host = MakeObject<FakeScriptHost>(-1);
  ASSERT_EQ(S_OK, server_->OnStartPage(static_cast<IScriptingContext*>(host.get())));
  EXPECT_TRUE(server_->page_started());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(2u, host->Refs(i)) << i;
  ASSERT_EQ(S_OK, server_->OnEndPage());
  EXPECT_FALSE(server_->page_started());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(1u, host->Refs(i)) << i;

  // A host without one of the objects: S_OK, but no page, and nothing kept.
  for (int missing = 0; missing < 5; ++missing) {
    ASSERT_EQ(S_OK, server_->OnStartPage(static_cast<IScriptingContext*>(host.get())));
    auto partial = MakeObject<FakeScriptHost>(missing);
    EXPECT_EQ(S_OK, server_->OnStartPage(static_cast<IScriptingContext*>(partial.get())));
    EXPECT_FALSE(server_->page_started()) << missing;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(1u, partial->Refs(i)) << missing << " " << i;
      EXPECT_EQ(1u, host->Refs(i)) << missing << " " << i;
    }
  }
  // Something that is no scripting context at all.
  auto plain = MakeObject<PlainObject>(std::map<std::string, Variant>{});
  EXPECT_EQ(S_OK, server_->OnStartPage(plain.get()));
  EXPECT_FALSE(server_->page_started());
}

}  // namespace
}  // namespace zel
