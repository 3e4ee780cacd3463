// System events: the classifier (rule by rule, with the boundaries), each class's properties,
// the update step's request and reply parsing (pairs, one Time, Index order, odd and foreign
// replies), AddEvent and its fire flag, and delivery through FireEvent with the zone refreshed
// first.
#include "events/system_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>
#include <thread>

#include "model/areas.h"
#include "model/object_test_fixture.h"
#include "model/plain_element.h"
#include "model/units.h"
#include "model/xml_writer.h"
#include "model/zones.h"
#include "platform/class_registry.h"
#include "platform/resource_library.h"
#include "server/recording_sink.h"
#include "server/server_log_hook.h"
#include "testing/xml_destinations.h"

namespace zel {
namespace {

TEST(SystemEventKindTest, RulesInOrder) {
  struct Case {
    uint32_t code;
    int32_t kind;
  };
  const std::vector<Case> cases = {
      {0x0200, 16},
      {0x02FF, 16},
      {0x0213, 16},  // alarm
      {0x0400, 17},
      {0x07FF, 17},
      {0x0405, 17},  // zone
      {0x0800, 18},
      {0x0BFF, 18},  // unit
      {0x0C00, 19},
      {0x0FFF, 19},  // X10
      {0xFC00, 24},
      {0xFFFF, 24},
      {0xFC01, 24},  // link
      {0xF000, 23},
      {0xFBFF, 23},  // switch press
      {0x7000, 22},
      {0x7FFF, 22},  // compose
      {0x03E0, 21},
      {0x03FF, 21},  // all on/off
      {0x03D0, 26},
      {0x03DF, 26},
      {0x03D5, 26},  // access control
      {0x0000, 15},
      {0x00FF, 15},  // macro
      {0x0100, 25},
      {0x013F, 25},
      {0x0180, 25},
      {0x01BF, 25},  // 0x01xx without bit 6
      {0x0110, 25},
      {0x0140, 20},
      {0x017F, 20},
      {0x01C0, 20},
      {0x01FF, 20},  // left open: security
      {0x0300, 1},
      {0x0301, 2},
      {0x0302, 3},
      {0x0303, 4},  // phone line
      {0x0304, 5},
      {0x0305, 6},
      {0x0306, 7},
      {0x0307, 8},  // power, battery
      {0x0308, 9},
      {0x0309, 10},
      {0x030A, 11},
      {0x030B, 12},  // dialer, energy
      {0x030C, 13},
      {0x030D, 14},
      {0x030E, 27},
      {0x0313, 27},  // camera triggers
      {0x0314, 20},
      {0x03CF, 20},
      {0x1000, 20},
      {0x6FFF, 20},  // everything else
      {0x8000, 20},
      {0xEFFF, 20},
      {0xB5A7, 20},
      // Masks see the low bits only; exact values compare the whole 32-bit value.
      {0x10405, 17},
      {0x10300, 20},
      {0x10000, 15},
  };
  for (const Case& c : cases) EXPECT_EQ(c.kind, SystemEventKind(c.code)) << std::hex << c.code;
}

TEST(SystemEventCodesTest, PairsHighByteFirst) {
  bool lone = true;
  Bytes f = SealFrame(0x23, {0x04, 0x05, 0x02, 0x13});
  EXPECT_EQ((std::vector<uint16_t>{0x0405, 0x0213}), SystemEventCodes(f.data(), f.size(), &lone));
  EXPECT_FALSE(lone);
  f = SealFrame(0x23, {0xB5, 0xA7, 0x09});
  EXPECT_EQ((std::vector<uint16_t>{0xB5A7}), SystemEventCodes(f.data(), f.size(), &lone));
  EXPECT_TRUE(lone);
  f = SealFrame(0x23, {0x09});
  EXPECT_TRUE(SystemEventCodes(f.data(), f.size(), &lone).empty());
  EXPECT_TRUE(lone);
  f = AckBytes();
  EXPECT_TRUE(SystemEventCodes(f.data(), f.size(), &lone).empty());
  EXPECT_FALSE(lone);
  // A length byte beyond the bytes received reads no further than they go.
  Bytes cut = {0x5A, 0x09, 0x23, 0x04, 0x05, 0x02};
  EXPECT_EQ((std::vector<uint16_t>{0x0405}), SystemEventCodes(cut.data(), cut.size(), &lone));
  EXPECT_TRUE(SystemEventCodes(nullptr, 0, nullptr).empty());
}

class SystemEventsTest : public ObjectTest {
 protected:
  void SetUp() override {
    ObjectTest::SetUp();
    RegisterSystemEventClasses();
    link_->SetAnswer([this](const Bytes& request) {
      if (request[2] == MSG_SYSTEM_EVENTS) {
        std::lock_guard<std::mutex> g(queue_mu_);
        if (replies_.empty()) return AckFrameOfLengthOne();
        Bytes reply = replies_.front();
        replies_.pop_front();
        return reply;
      }
      return Answer(request);
    });
    SetServerLogWriter([this](std::string_view, std::string_view, std::string_view text, HRESULT) {
      std::lock_guard<std::mutex> g(queue_mu_);
      server_log_.emplace_back(text);
    });
  }
  void TearDown() override {
    SetServerLogWriter(nullptr);
    if (events_) (void)events_->StopUpdate();
    events_.reset();
    server_.reset();
    UnregisterCollectionSlot(kSlotSystemEvents);
    ClassRegistry::Instance().ReleaseSingletons();
    ObjectTest::TearDown();
  }
  // The reply with nothing queued.
  static Bytes AckFrameOfLengthOne() { return SealFrame(0x23, {}); }
  void Queue(Bytes reply) {
    std::lock_guard<std::mutex> g(queue_mu_);
    replies_.push_back(std::move(reply));
  }
  CZelSystemEvents* Events() {
    if (!events_) {
      ComPtr<IDispatch> d;
      EXPECT_EQ(S_OK, server_->GetCollection(kSlotSystemEvents, d.Receive()));
      events_ = ComPtr<CZelSystemEvents>(static_cast<CZelSystemEvents*>(
          static_cast<IZelSystemEvents*>(static_cast<IDispatch*>(d.get()))));
    }
    return events_.get();
  }
  int32_t Count() {
    int32_t n = -1;
    EXPECT_EQ(S_OK, Events()->get_Count(&n));
    return n;
  }
  ComPtr<IDispatch> EventAt(uint32_t position) { return Events()->ElementAt(position); }
  Variant Property(IDispatch* object, std::string_view name) {
    Variant v;
    EXPECT_EQ(S_OK, GetProperty(object, name, &v)) << name;
    return v;
  }
  // The element a property names, as that element's ID.
  int32_t IdOf(const Variant& element) {
    if (element.vt() != VT_DISPATCH || element.dispatch() == nullptr) return -1;
    return Property(element.dispatch(), "ID").i4();
  }
  void WatchEverything() {
    for (int slot = 0; slot < kHandlerSlotCount; ++slot) {
      ASSERT_EQ(S_OK,
                server_->PutHandler(
                    slot, Variant::Dispatch(MakeObject<RecordingSink>(
                                                std::string(kHandlerPropertyNames[slot]), &log_)
                                                .get())));
    }
  }
  std::vector<std::string> Handlers() {
    std::vector<std::string> out;
    for (const CallLog::Call& c : log_.Snapshot()) out.push_back(c.who);
    return out;
  }

  ComPtr<CZelSystemEvents> events_;
  std::mutex queue_mu_;
  std::deque<Bytes> replies_;            // guarded by queue_mu_
  std::vector<std::string> server_log_;  // guarded by queue_mu_
  CallLog log_;
};

TEST_F(SystemEventsTest, ReplyPairsBecomeEventsWithOneTimeAndConsecutiveIndexes) {
  Connect(7);
  AddElement<CZelZone>(kSlotZones, 5);
  AddElement<CZelArea>(kSlotAreas, 3);
  Queue(SealFrame(0x23, {0x02, 0x00}));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  ASSERT_EQ(1, Count());
  Queue(SealFrame(0x23, {0x04, 0x05, 0x02, 0x13}));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  // One request per step, exactly the frame 5A 01 22 81 89.
  std::vector<Bytes> requests = link_->frames();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ((Bytes{0x5A, 0x01, 0x22, 0x81, 0x89}), requests[1]);
  ASSERT_EQ(3, Count());

  ComPtr<IDispatch> zone = EventAt(2), alarm = EventAt(3);
  EXPECT_EQ(Variant::I4(2), Property(zone.get(), "Index"));
  EXPECT_EQ(Variant::I4(3), Property(alarm.get(), "Index"));
  EXPECT_EQ(Property(zone.get(), "Time"), Property(alarm.get(), "Time"));
  EXPECT_EQ(VT_DATE, Property(zone.get(), "Time").vt());
  EXPECT_EQ(Variant::I4(0x0405), Property(zone.get(), "Code"));
  EXPECT_EQ(Variant::I4(17), Property(zone.get(), "Type"));
  EXPECT_EQ(Variant::I4(0), Property(zone.get(), "State"));
  EXPECT_EQ(5, IdOf(Property(zone.get(), "Zone")));
  EXPECT_EQ(Variant::I4(16), Property(alarm.get(), "Type"));
  EXPECT_EQ(Variant::I4(1), Property(alarm.get(), "AlarmType"));
  EXPECT_EQ(3, IdOf(Property(alarm.get(), "Area")));
  // Type names the class: the zone event answers its own interface, not the alarm's.
  ComPtr<IZelSystemZoneEvent> as_zone;
  EXPECT_EQ(S_OK, QueryAs<IZelSystemZoneEvent>(zone.get(), &as_zone));
  ComPtr<IZelSystemAlarmEvent> as_alarm;
  EXPECT_EQ(E_NOINTERFACE, QueryAs<IZelSystemAlarmEvent>(zone.get(), &as_alarm));
}

TEST_F(SystemEventsTest, EveryClassDecodesItsBitFields) {
  UseModel(7);
  SetFirstHouseCode(2);
  Connect(7);
  AddElement<CZelArea>(kSlotAreas, 5);
  AddElement<CZelArea>(kSlotAreas, 7);
  AddElement<CZelZone>(kSlotZones, 0x105);
  AddElement<CZelUnit>(kSlotUnits, 0x123);
  // House code 3, unit 4 with the first house code 2: (3 - 2) x 16 + 4 + 17 = 37.
  AddElement<CZelUnit>(kSlotUnits, 37);
  AddElement<CZelCollectionElement>(kSlotButtons, 0xFF);
  AddElement<CZelCollectionElement>(kSlotCodes, 0xA7);
  struct Case {
    uint32_t code;
    std::map<std::string, Variant> values;   // integer and boolean properties
    std::map<std::string, int32_t> objects;  // properties that name an element: its ID
  };
  const std::vector<Case> cases = {
      {0xB5A7,
       {{"ExitDelay", Variant::I4(1)},
        {"SecurityMode", Variant::I4(3)},
        {"SecurityCode", Variant::I4(0xA7)}},
       {{"Area", 5}}},
      {0x3700, {{"ExitDelay", Variant::I4(0)}, {"SecurityMode", Variant::I4(3)}}, {{"Area", 7}}},
      {0x0275, {{"AlarmType", Variant::I4(7)}}, {{"Area", 5}}},
      {0x03F7, {{"State", Variant::I4(1)}}, {{"Area", 7}}},
      {0x03E5, {{"State", Variant::I4(0)}}, {{"Area", 5}}},
      {0x7A3C,
       {{"State", Variant::I4(0xA)}, {"HouseCode", Variant::I4(3)}, {"Unit", Variant::I4(0xC)}},
       {}},
      {0x00FF, {}, {{"Button", 0xFF}}},
      {0x0705, {{"State", Variant::I4(1)}}, {{"Zone", 0x105}}},
      {0x0923, {{"State", Variant::I4(0)}}, {{"Unit", 0x123}}},
      {0x0B23, {{"State", Variant::I4(1)}}, {{"Unit", 0x123}}},
      {0x0E34,
       {{"State", Variant::I4(1)},
        {"AllUnits", Variant::Bool(false)},
        {"HouseCode", Variant::I4(3)},
        {"UnitNumber", Variant::I4(4)}},
       {{"Unit", 37}}},
      {0x0D34, {{"State", Variant::I4(0)}, {"AllUnits", Variant::Bool(true)}}, {{"Unit", 37}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(static_cast<int32_t>(c.code)), Variant(),
                                       Variant::Bool(true), Variant::Bool(false)));
    ComPtr<IDispatch> e = EventAt(static_cast<uint32_t>(Count()));
    for (const auto& [name, value] : c.values) {
      EXPECT_EQ(value, Property(e.get(), name)) << std::hex << c.code << " " << name;
    }
    for (const auto& [name, id] : c.objects) {
      EXPECT_EQ(id, IdOf(Property(e.get(), name))) << std::hex << c.code << " " << name;
    }
  }
  // A number that names no element: the empty element, with S_FALSE passed on.
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0406), Variant(), Variant(), Variant()));
  Variant missing;
  ComPtr<IZelSystemZoneEvent> zone;
  ASSERT_EQ(S_OK, QueryAs<IZelSystemZoneEvent>(EventAt(Count()).get(), &zone));
  EXPECT_EQ(S_FALSE, zone->get_Zone(&missing));
  EXPECT_EQ(E_POINTER, zone->get_Zone(nullptr));
  EXPECT_EQ(E_POINTER, zone->get_State(nullptr));
}

// Live system events write no XML (their SaveXML and SaveXMLSnippet answer E_NOTIMPL), so their
// collection writes its tags around nothing and answers the walk's E_NOTIMPL.
TEST_F(SystemEventsTest, LiveEventsWriteNoXmlAndTheirCollectionOnlyItsTags) {
  Connect(7);
  // One code of every class: security, alarm, all on/off, compose, macro, zone, unit, X10, plain.
  const uint32_t kCodes[] = {0xB5A7, 0x0275, 0x03F7, 0x7A3C, 0x00FF,
                             0x0705, 0x0923, 0x0E34, 0x0300};
  for (uint32_t code : kCodes) {
    ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(static_cast<int32_t>(code)), Variant(),
                                       Variant(), Variant()));
  }
  ASSERT_EQ(std::size(kCodes), static_cast<size_t>(Count()));
  std::set<std::string> classes;
  for (uint32_t i = 1; i <= std::size(kCodes); ++i) {
    ComPtr<IDispatch> event = EventAt(i);
    classes.insert(std::string(event->GetTypeName()));
    ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
    const Variant dest = Variant::Unknown(stream.get());
    for (DISPID id : {kDispidEventSaveXML, kDispidEventSaveXMLSnippet}) {
      EXPECT_EQ(E_NOTIMPL, event->Invoke(id, DISPATCH_METHOD, {&dest, 1}, nullptr))
          << event->GetTypeName();
    }
    EXPECT_TRUE(stream->writes.empty()) << event->GetTypeName();
  }
  EXPECT_EQ(9u, classes.size());  // every class was asked

  ComPtr<RecordingStream> stream = MakeObject<RecordingStream>();
  EXPECT_EQ(E_NOTIMPL, Events()->SaveXML(Variant::Unknown(stream.get())));
  EXPECT_EQ(std::string(kXmlDeclaration) + "<SYSTEMEVENTS></SYSTEMEVENTS>", stream->All());
  ComPtr<RecordingResponse> response = MakeObject<RecordingResponse>();
  EXPECT_EQ(E_NOTIMPL, Events()->SaveXML(Variant::Dispatch(response.get())));
  EXPECT_EQ((std::vector<std::string>{std::string(kXmlDeclaration) + "\n<SYSTEMEVENTS>",
                                      "</SYSTEMEVENTS>"}),
            response->writes);
}

TEST_F(SystemEventsTest, PlainKindsAndDroppedKinds) {
  Connect(7);
  for (uint32_t code : {0x0300u, 0x030Du, 0x0110u, 0xF000u, 0xFC01u}) {
    ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(static_cast<int32_t>(code)), Variant(),
                                       Variant(), Variant()));
    ComPtr<IDispatch> e = EventAt(Count());
    EXPECT_EQ("CZelSystemEvent", e->GetTypeName()) << std::hex << code;
  }
  EXPECT_EQ(Variant::I4(1), Property(EventAt(1).get(), "Type"));
  EXPECT_EQ(Variant::I4(14), Property(EventAt(2).get(), "Type"));
  EXPECT_EQ(Variant::I4(25), Property(EventAt(3).get(), "Type"));
  EXPECT_EQ(Variant::I4(23), Property(EventAt(4).get(), "Type"));
  EXPECT_EQ(Variant::I4(24), Property(EventAt(5).get(), "Type"));
  // Access control and camera triggers have no class: dropped, and the drop is logged.
  for (uint32_t code : {0x03D5u, 0x030Eu}) {
    EXPECT_EQ(REGDB_E_CLASSNOTREG, Events()->AddEvent(Variant::I4(static_cast<int32_t>(code)),
                                                      Variant(), Variant(), Variant::Bool(true)));
  }
  EXPECT_EQ(5, Count());
  EXPECT_EQ(2u, Events()->SkippedCount());
  // A dropped code in a reply does not stop the codes after it.
  Queue(SealFrame(0x23, {0x03, 0xD5, 0x03, 0x00}));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  EXPECT_EQ(6, Count());
  EXPECT_EQ(Variant::I4(0x0300), Property(EventAt(6).get(), "Code"));
  // ClearLog keeps the events.
  EXPECT_EQ(S_OK, Events()->ClearLog());
  EXPECT_EQ(6, Count());
}

TEST_F(SystemEventsTest, BadRepliesAreSkippedAndLogged) {
  Connect(7);
  // Nothing queued.
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  EXPECT_EQ(0, Count());
  // An odd number of data bytes: the pair is taken, the lone byte is logged.
  Queue(SealFrame(0x23, {0x03, 0x00, 0x7F}));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  EXPECT_EQ(1, Count());
  // Frames that cannot carry codes, even with data.
  Queue(SealFrame(0x05, {0x03, 0x01}));
  Queue(SealFrame(0x06, {0x03, 0x01}));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  ASSERT_EQ(S_OK, Events()->Update(false, kAllElements));
  EXPECT_EQ(1, Count());
  EXPECT_EQ(3u, Events()->SkippedCount());
  std::lock_guard<std::mutex> g(queue_mu_);
  ASSERT_EQ(3u, server_log_.size());
  EXPECT_NE(std::string::npos, server_log_[0].find("5A 04 23 03 00 7F")) << server_log_[0];
  EXPECT_NE(std::string::npos, server_log_[1].find("5A 03 05 03 01")) << server_log_[1];
}

// A controller that restarted refuses the request until the server logs in again: each refusal
// is a failed step (nothing added), so the update thread's failures lead to a new login, while
// the empty queue's reply stays a success.
TEST_F(SystemEventsTest, RefusalIsAFailedStepNotAnEmptyQueue) {
  Connect(7);
  Queue(SealFrame(0x06, {}));  // 5A 01 06 81 92
  EXPECT_EQ(E_FAIL, Events()->Update(true, kAllElements));
  EXPECT_EQ(0, Count());
  EXPECT_EQ(0u, Events()->SkippedCount());
  EXPECT_EQ(S_OK, Events()->Update(true, kAllElements));  // the empty queue
  Queue(SealFrame(0x23, {0x03, 0x00}));
  EXPECT_EQ(S_OK, Events()->Update(false, kAllElements));
  EXPECT_EQ(1, Count());
}

TEST_F(SystemEventsTest, FailedExchangesAddNothing) {
  Connect(7);
  Queue(SealFrame(0x23, {0x03, 0x00}));
  link_->SetFailing(true);
  EXPECT_EQ(E_COMM_TIMEOUT, Events()->Update(true, kAllElements));
  EXPECT_EQ(0, Count());
  link_->SetFailing(false);
  (void)server_->Stop();                                    // lets the transport go
  EXPECT_EQ(E_FAIL, Events()->Update(true, kAllElements));  // no transport
  EXPECT_EQ(0, Count());
}

TEST_F(SystemEventsTest, FiredEventsReachTheirMembersAfterTheZoneIsRefreshed) {
  Connect(7);
  ComPtr<CZelZone> zone = AddElement<CZelZone>(kSlotZones, 5);
  zone_status_[5] = {0x00, 0};
  ASSERT_EQ(S_OK, Collection(kSlotZones)->Update(false, kAllElements));
  // The handler reads the zone as the event arrives: the refresh has already happened.
  int32_t seen_condition = -1;
  ASSERT_EQ(S_OK, server_->PutHandler(20, Variant::Dispatch(MakeObject<CallbackSink>([&] {
                                                              (void)zone->get_CurrCondition(
                                                                  &seen_condition);
                                                              return S_OK;
                                                            }).get())));
  zone_status_[5] = {0x01, 0};
  link_->ClearSent();
  Queue(SealFrame(0x23, {0x06, 0x05}));
  ASSERT_EQ(S_OK, Events()->TryUpdate(true, kAllElements));
  EXPECT_EQ(1, seen_condition);
  EXPECT_EQ((std::vector<uint8_t>{0x22, 0x15}), SentTypes());
}

TEST_F(SystemEventsTest, FireFlagAndServerStatusDecideDelivery) {
  Connect(7);
  WatchEverything();
  // Only the boolean true value fires.
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0300), Variant(), Variant(), Variant::I4(1)));
  EXPECT_TRUE(Handlers().empty());
  ASSERT_EQ(S_OK,
            Events()->AddEvent(Variant::I4(0x0300), Variant(), Variant(), Variant::Bool(true)));
  EXPECT_EQ((std::vector<std::string>{"OnSystemEvent", "OnSystemPhoneLineStatusChange"}),
            Handlers());
  log_.calls.clear();
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0110), Variant(), Variant(), Variant::I4(-1)));
  EXPECT_EQ((std::vector<std::string>{"OnSystemEvent"}), Handlers());
  // Codes read by polling fire; codes read by Init (fire false) do not.
  log_.calls.clear();
  Queue(SealFrame(0x23, {0xF0, 0x00, 0x03, 0x0D}));
  ASSERT_EQ(S_OK, Events()->TryUpdate(true, kAllElements));
  EXPECT_EQ((std::vector<std::string>{"OnSystemEvent", "OnSystemALCUPBSwitchPress", "OnSystemEvent",
                                      "OnSystemEnergyCostChange"}),
            Handlers());
  // Outside ssInteractive the event is kept but nobody is told.
  log_.calls.clear();
  server_->ChangeStatus(ssStopping, S_OK);
  log_.calls.clear();
  Queue(SealFrame(0x23, {0xFC, 0x01}));
  ASSERT_EQ(S_OK, Events()->TryUpdate(true, kAllElements));
  EXPECT_TRUE(Handlers().empty());
  EXPECT_EQ(6, Count());
}

TEST_F(SystemEventsTest, InitReadsSilentlyThenPollsAtItsInterval) {
  Connect(7);
  WatchEverything();
  EXPECT_EQ(Variant::UI4(1000), [&] {
    Variant v;
    EXPECT_EQ(S_OK, Events()->get_UpdateInterval(&v));
    return v;
  }());
  Queue(SealFrame(0x23, {0x03, 0x00}));
  ASSERT_EQ(S_OK, Events()->Init());
  EXPECT_EQ(1, Count());
  EXPECT_TRUE(Handlers().empty());
  EXPECT_TRUE(Events()->HasUpdateThread());
  ASSERT_EQ(S_OK, Events()->StopUpdate());
  EXPECT_FALSE(Events()->HasUpdateThread());
}

// The update thread's requests on the wire, timed on a clock that runs in production time:
// consecutive requests are the default interval apart (never less, and the typical gap within
// 3 %), and the only wait between two of them is one interval.
TEST_F(SystemEventsTest, RequestsOnTheWireAreOneIntervalApart) {
  Connect(7);
  ProductionTimeClock clock(8);
  ScopedClock scoped(&clock);
  std::mutex times_mu;
  std::vector<std::chrono::steady_clock::time_point> times;  // guarded by times_mu
  link_->SetAnswer([&](const Bytes& request) {
    if (request[2] != MSG_SYSTEM_EVENTS) return Answer(request);
    std::lock_guard<std::mutex> g(times_mu);
    times.push_back(Clock::Get()->Now());
    return AckFrameOfLengthOne();
  });
  auto count = [&] {
    std::lock_guard<std::mutex> g(times_mu);
    return times.size();
  };
  ASSERT_EQ(S_OK, Events()->Init());  // its own request, then the thread's
  for (int i = 0; i < 5000 && count() < 7; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(S_OK, Events()->StopUpdate());
  std::vector<double> gaps;
  {
    std::lock_guard<std::mutex> g(times_mu);
    ASSERT_GE(times.size(), 7u);
    for (size_t i = 1; i < times.size(); ++i) {
      gaps.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
    }
  }
  for (double gap : gaps) EXPECT_GE(gap, 1000 * 0.99);
  std::sort(gaps.begin(), gaps.end());
  EXPECT_LE(gaps[gaps.size() / 2], 1000 * 1.03) << "median of " << gaps.size() << " gaps";
  // The thread waited the interval before each request, and nothing else until the stop.
  std::vector<int64_t> waits = clock.waits();
  ASSERT_GE(waits.size(), gaps.size() + 1);
  EXPECT_EQ(std::vector<int64_t>(gaps.size(), 1000),
            std::vector<int64_t>(waits.begin(), waits.begin() + gaps.size()));
}

// A handler runs on its own delivery lane: its Update waits for the step that is delivering to
// it, and runs the next step once that one has ended, so it neither deadlocks nor reorders.
TEST_F(SystemEventsTest, AHandlerThatUpdatesFromInsideADeliveryRunsTheNextStepAfterIt) {
  Connect(7);
  std::atomic<int> calls{0};
  std::atomic<HRESULT> nested{E_FAIL};
  ASSERT_EQ(S_OK, server_->PutHandler(8, Variant::Dispatch(MakeObject<CallbackSink>([&] {
                                                             if (calls++ == 0) {
                                                               nested = Events()->Update(
                                                                   true, kAllElements);
                                                             }
                                                             return S_OK;
                                                           }).get())));
  Queue(SealFrame(0x23, {0x03, 0x00, 0x03, 0x01}));
  Queue(SealFrame(0x23, {0x03, 0x02}));
  ASSERT_EQ(S_OK, Events()->Update(true, kAllElements));
  for (int i = 0; i < 5000 && calls < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(3, calls.load());  // every event once: two from the first step, one from the next
  EXPECT_EQ(S_OK, nested.load());
  EXPECT_EQ(3, Count());
}

TEST_F(SystemEventsTest, NameIsTheLabelOfTheKind) {
  std::shared_ptr<const ResourceLibrary> lib;
  ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n151 = Phone Line Dead\n167 = Zone\n", &lib));
  InstallResources(lib);
  Connect(7);
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0300), Variant(), Variant(), Variant()));
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0405), Variant(), Variant(), Variant()));
  ASSERT_EQ(S_OK, Events()->AddEvent(Variant::I4(0x0200), Variant(), Variant(), Variant()));
  EXPECT_EQ(Variant::Str("Phone Line Dead"), Property(EventAt(1).get(), "Name"));
  EXPECT_EQ(Variant::Str("Zone"), Property(EventAt(2).get(), "Name"));
  EXPECT_EQ(Variant::Str(""), Property(EventAt(3).get(), "Name"));  // no text for 166
  ComPtr<IZelEventCollectionElement> e;
  ASSERT_EQ(S_OK, QueryAs<IZelEventCollectionElement>(EventAt(1).get(), &e));
  EXPECT_EQ(E_NOTIMPL, e->put_Name(BStr("x")));
  EXPECT_EQ(E_NOTIMPL, e->SaveXML(Variant()));
  EXPECT_EQ(E_POINTER, e->get_Name(nullptr));
  // Index, Time and Code take what they are given.
  ComPtr<IZelSystemEvent> s;
  ASSERT_EQ(S_OK, QueryAs<IZelSystemEvent>(EventAt(1).get(), &s));
  ASSERT_EQ(S_OK, s->put_Code(Variant::Str("0")));
  EXPECT_EQ(Variant::Str("0"), Property(EventAt(1).get(), "Code"));
  ASSERT_EQ(S_OK, e->put_Index(Variant::R8(2.5)));
  EXPECT_EQ(Variant::R8(2.5), Property(EventAt(1).get(), "Index"));
}

TEST_F(SystemEventsTest, MembersByDispid) {
  struct Row {
    const MemberTable* table;
    std::string_view name;
    DISPID dispid;
  };
  const std::vector<Row> rows = {
      {&CZelSystemEvents::Members(), "AddEvent", 0x60040000},
      {&CZelSystemEvents::Members(), "ClearLog", 0x60040001},
      {&CZelSystemEvent::Members(), "Type", 0x60030000},
      {&CZelSystemEvent::Members(), "Time", 0x60030001},
      {&CZelSystemEvent::Members(), "Code", 0x60030002},
      {&CZelSystemEvent::Members(), "Index", 0x60020000},
      {&CZelSystemEvent::Members(), "Name", 0},
      {&CZelSystemAlarmEvent::Members(), "AlarmType", 0x560},
      {&CZelSystemAlarmEvent::Members(), "Area", 0x561},
      {&CZelSystemAllOnOffEvent::Members(), "State", 0x562},
      {&CZelSystemAllOnOffEvent::Members(), "Area", 0x563},
      {&CZelSystemComposeEvent::Members(), "State", 0x564},
      {&CZelSystemComposeEvent::Members(), "HouseCode", 0x565},
      {&CZelSystemComposeEvent::Members(), "Unit", 0x566},
      {&CZelSystemMacroEvent::Members(), "Button", 0x567},
      {&CZelSystemSecurityEvent::Members(), "ExitDelay", 0x568},
      {&CZelSystemSecurityEvent::Members(), "SecurityMode", 0x569},
      {&CZelSystemSecurityEvent::Members(), "Area", 0x56a},
      {&CZelSystemSecurityEvent::Members(), "SecurityCode", 0x56b},
      {&CZelSystemUnitEvent::Members(), "State", 0x56c},
      {&CZelSystemUnitEvent::Members(), "Unit", 0x56d},
      {&CZelSystemX10Event::Members(), "State", 0x570},
      {&CZelSystemX10Event::Members(), "AllUnits", 0x571},
      {&CZelSystemX10Event::Members(), "HouseCode", 0x572},
      {&CZelSystemX10Event::Members(), "UnitNumber", 0x573},
      {&CZelSystemX10Event::Members(), "Unit", 0x574},
      {&CZelSystemZoneEvent::Members(), "State", 0x574},
      {&CZelSystemZoneEvent::Members(), "Zone", 0x575},
  };
  for (const Row& r : rows) {
    const MemberInfo* m = r.table->FindByName(r.name);
    ASSERT_NE(nullptr, m) << r.table->type_name() << "." << r.name;
    EXPECT_EQ(r.dispid, m->dispid) << r.table->type_name() << "." << r.name;
  }
}

}  // namespace
}  // namespace zel
