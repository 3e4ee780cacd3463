// The event log against a small controller behind a FakeLink: the walk on the wire, the stop at
// the last-seen record, the entries' classes and properties, ClearLog, restarts, lost replies
// at every position of a walk, and replies that are not records.
#include "events/event_log.h"

#include <gtest/gtest.h>

#include "link/walk.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/property_bag.h"
#include "server/server_test_fixture.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

// A record frame: time flag, month, day, hour, minute, type, parameters 1 to 3.
Bytes RecordFrame(uint8_t type, uint8_t p1 = 0, uint8_t p2 = 0, uint8_t p3 = 0,
                  uint8_t time_flag = 1, uint8_t minute = 30) {
  return SealFrame(0x0E, {0, time_flag, 6, 15, 13, minute, type, p1, 0, p2, p3});
}

// The controller's log: newest first; the log request starts a walk at the newest record and
// each acknowledge steps to the next older one. A reply can be lost after the step was made.
class FakeLog {
 public:
  Bytes Answer(const Bytes& request) {
    std::lock_guard<std::mutex> g(mu_);
    ++requests_;
    Bytes reply;
    if (request == Bytes(kEventLogRequest.begin(), kEventLogRequest.end())) {
      next_ = 0;
      walking_ = true;
      reply = Current();
    } else if (request == AckBytes() && walking_) {
      ++next_;
      reply = Current();
    } else {
      reply = NakBytes();
    }
    if (lose_at_ == requests_) return {};  // the step is made, the reply never arrives
    return reply;
  }
  void AddNewest(Bytes record) {
    std::lock_guard<std::mutex> g(mu_);
    records_.insert(records_.begin(), std::move(record));
  }
  // Loses the reply to the n-th request from now (1-based).
  void LoseReply(int n) {
    std::lock_guard<std::mutex> g(mu_);
    lose_at_ = requests_ + n;
  }

 private:
  Bytes Current() {
    if (next_ >= records_.size()) return EndOfDataBytes();
    return records_[next_];
  }
  std::mutex mu_;
  std::vector<Bytes> records_;
  size_t next_ = 0;
  bool walking_ = false;
  int requests_ = 0;
  int lose_at_ = -1;
};

class EventLogTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    RegisterModelClasses();
    RegisterEventLogClasses();
    ASSERT_EQ(S_OK, server_->OpenLocalStore());
    link_ = MakeObject<FakeLink>();
    link_->SetAnswer([this](const Bytes& r) { return log_.Answer(r); });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
  }
  void TearDown() override {
    if (events_) (void)events_->StopUpdate();
    events_.reset();
    ServerTest::TearDown();
  }

  // The server's Events collection; Init (with its update thread stopped) when `init`.
  void Get(bool init = true) {
    ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, server_->get_Events(d.Receive()));
    events_ = ComPtr<CZelEvents>(static_cast<CZelEvents*>(static_cast<IZelEvents*>(d.get())));
    if (init) {
      ASSERT_EQ(S_OK, events_->put_UpdateInterval(Variant::UI4(0)));
      ASSERT_EQ(S_OK, events_->Init());
    }
  }
  int32_t Count() {
    int32_t n = -1;
    EXPECT_EQ(S_OK, events_->get_Count(&n));
    return n;
  }
  ComPtr<IZelEvent> Entry(uint32_t position) {
    Variant item;
    EXPECT_EQ(S_OK, events_->Item(Variant::UI4(position), Variant::Missing(), &item));
    ComPtr<IZelEvent> e;
    if (item.vt() == VT_DISPATCH) {
      EXPECT_EQ(S_OK, QueryAs<IZelEvent>(item.dispatch(), &e));
    }
    return e;
  }
  int32_t TypeAt(uint32_t position) {
    Variant v;
    EXPECT_EQ(S_OK, Entry(position)->get_Type(&v));
    return v.i4();
  }
  int32_t IndexAt(uint32_t position) {
    Variant v;
    EXPECT_EQ(S_OK, Entry(position)->get_Index(&v));
    return v.i4();
  }
  Variant Property(uint32_t position, std::string_view name) {
    Variant v;
    EXPECT_EQ(S_OK, GetProperty(Entry(position).get(), name, &v)) << name;
    return v;
  }
  std::vector<int32_t> Types() {
    std::vector<int32_t> t;
    for (int32_t i = 1; i <= Count(); ++i) t.push_back(TypeAt(i));
    return t;
  }
  Bytes StoredState() {
    ComPtr<IStream> s;
    if (Failed(server_->local_store()->OpenStream("EventsState", s.Receive()))) return {};
    Bytes b(64);
    uint32_t got = 0;
    EXPECT_EQ(S_OK, s->Read(b.data(), 64, &got));
    b.resize(got);
    return b;
  }

  FakeLog log_;
  ComPtr<FakeLink> link_;
  ComPtr<CZelEvents> events_;
};

TEST_F(EventLogTest, FirstInitTakesInTheWholeLogOldestFirst) {
  log_.AddNewest(RecordFrame(0x06));
  log_.AddNewest(RecordFrame(0x04, 0, 3));
  log_.AddNewest(RecordFrame(0x31, 0, 1));
  Get();
  EXPECT_EQ((std::vector<int32_t>{0x06, 0x04, 0x31}), Types());
  for (uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(static_cast<int32_t>(i), IndexAt(i));
  // The walk: the log request, then an acknowledge per record until the end-of-data frame.
  Bytes request(kEventLogRequest.begin(), kEventLogRequest.end());
  EXPECT_EQ((std::vector<Bytes>{request, AckBytes(), AckBytes(), AckBytes()}), link_->frames());
  EXPECT_EQ(RecordFrame(0x31, 0, 1), StoredState());
  LastSeenRecord seen = events_->last_seen();
  EXPECT_EQ(RecordFrame(0x31, 0, 1), Bytes(seen.begin(), seen.end()));
}

TEST_F(EventLogTest, NextWalkStopsAtTheLastSeenRecordAndNumbersOnward) {
  log_.AddNewest(RecordFrame(0x06));
  log_.AddNewest(RecordFrame(0x31));
  Get();
  log_.AddNewest(RecordFrame(0x82, 5));
  log_.AddNewest(RecordFrame(0x8A, 0, 2));
  link_->ClearSent();
  ASSERT_EQ(S_OK, events_->TryUpdate(true, kAllElements));
  // Log request, then one acknowledge per new record; the third reply is the last-seen one.
  EXPECT_EQ(3u, link_->sent_count());
  EXPECT_EQ((std::vector<int32_t>{0x06, 0x31, 0x82, 0x8A}), Types());
  EXPECT_EQ(3, IndexAt(3));
  EXPECT_EQ(4, IndexAt(4));
  EXPECT_EQ(RecordFrame(0x8A, 0, 2), StoredState());
  // Nothing new: one request, nothing added, the state as it was.
  link_->ClearSent();
  ASSERT_EQ(S_OK, events_->Update(true, kAllElements));
  EXPECT_EQ(1u, link_->sent_count());
  EXPECT_EQ(4, Count());
}

TEST_F(EventLogTest, EmptyLogAddsNothingAndKeepsTheState) {
  Get();
  EXPECT_EQ(0, Count());
  EXPECT_EQ(LastSeenRecord{}, events_->last_seen());
  EXPECT_EQ(Bytes{}, StoredState());
}

TEST_F(EventLogTest, RefusedTypesAndShortRepliesArePassedOver) {
  log_.AddNewest(RecordFrame(0x30));
  log_.AddNewest(RecordFrame(0x07));                   // outside the table
  log_.AddNewest(SealFrame(0x0E, {0, 1, 6, 15, 13}));  // too short to be a record
  log_.AddNewest(RecordFrame(0x83));
  Get();
  EXPECT_EQ((std::vector<int32_t>{0x30, 0x83}), Types());
  // The short reply is never the last-seen record.
  EXPECT_EQ(RecordFrame(0x83), StoredState());
  link_->ClearSent();
  ASSERT_EQ(S_OK, events_->Update(true, kAllElements));
  EXPECT_EQ(2, Count());
}

TEST_F(EventLogTest, LostReplyAtEveryPositionOfAWalkLosesAndDoublesNothing) {
  log_.AddNewest(RecordFrame(0x30, 0, 0, 0, 1, 0));
  Get();
  std::vector<int32_t> expected = {0x30};
  const int kNew = 4;
  // A walk of kNew new records has kNew + 1 exchanges (the last reply is the last-seen record).
  for (int lost = 1; lost <= kNew + 1; ++lost) {
    for (int i = 0; i < kNew; ++i) {
      uint8_t minute = static_cast<uint8_t>(lost * 10 + i);
      log_.AddNewest(RecordFrame(static_cast<uint8_t>(0x31 + i), 0, 0, 0, 1, minute));
      expected.push_back(0x31 + i);
    }
    log_.LoseReply(lost);
    ASSERT_EQ(S_OK, events_->Update(true, kAllElements)) << "reply " << lost << " lost";
    ASSERT_EQ(expected, Types()) << "reply " << lost << " lost";
  }
  for (int32_t i = 1; i <= Count(); ++i) EXPECT_EQ(i, IndexAt(i));
}

TEST_F(EventLogTest, AWalkThatKeepsFailingAddsNothingAndKeepsTheState) {
  log_.AddNewest(RecordFrame(0x30));
  Get();
  log_.AddNewest(RecordFrame(0x31));
  link_->SetFailing(true);
  link_->ClearSent();
  EXPECT_EQ(E_COMM_TIMEOUT, events_->Update(true, kAllElements));
  EXPECT_EQ(static_cast<size_t>(kWalkAttempts), link_->sent_count());
  EXPECT_EQ(1, Count());
  EXPECT_EQ(RecordFrame(0x30), StoredState());
  link_->SetFailing(false);
  ASSERT_EQ(S_OK, events_->Update(true, kAllElements));
  EXPECT_EQ((std::vector<int32_t>{0x30, 0x31}), Types());
}

TEST_F(EventLogTest, NoTransportIsNothingToDo) {
  server_.reset();
  server_ = MakeObject<CZelServer>();
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  Get(false);
  EXPECT_EQ(S_FALSE, events_->Update(true, kAllElements));
  EXPECT_EQ(0u, link_->sent_count());
}

TEST_F(EventLogTest, ClassPropertiesFromTypeAndData) {
  // Newest last here: position n is the n-th record added.
  const Bytes records[] = {
      RecordFrame(0x31, 0, 0),           // 1 arm, all areas
      RecordFrame(0x36, 0, 1),           // 2 arm, area 1
      RecordFrame(0x05, 0, 0),           // 3 restore, not all zones
      RecordFrame(0x06, 0, 0),           // 4 restore, all zones
      RecordFrame(0x06, 0, 4),           // 5 restore of zone 4
      RecordFrame(0x88, 0x12, 1, 0x9C),  // 6 alarm, mode 1, type 0x12; byte 13 in Data
      RecordFrame(0x84, 0, 2),           // 7 bypass, mode 1
      RecordFrame(0x04, 0, 2),           // 8 bypass, mode 0
      RecordFrame(0x80),                 // 9 trouble 0
      RecordFrame(0x81),                 // 10 trouble 1
      RecordFrame(0x85),                 // 11 trouble 2
      RecordFrame(0x82, 5),              // 12 access, code 5
      RecordFrame(0x89, 0, 0, 0, 0),     // 13 no time
  };
  for (const Bytes& r : records) log_.AddNewest(r);
  // User code 5 has a name.
  ComPtr<IDispatch> codes;
  ASSERT_EQ(S_OK, server_->get_Codes(codes.Receive()));
  ComPtr<IPersistPropertyBag> code;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(kClsidZelCode, &code));
  ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
  (void)bag->Write("ID", Variant::I4(5));
  (void)bag->Write("NAME", Variant::Str(BStr("Cleaner")));
  ASSERT_EQ(S_OK, code->Load(bag.get()));
  ComPtr<IDispatch> code_dispatch;
  ASSERT_EQ(S_OK, QueryAs<IDispatch>(code.get(), &code_dispatch));
  ComPtr<IZelCollection> codes_c;
  ASSERT_EQ(S_OK, QueryAs<IZelCollection>(codes.get(), &codes_c));
  ASSERT_EQ(S_OK, codes_c->Add(Variant::Dispatch(code_dispatch.get()), Variant::Missing()));
  Get();
  ASSERT_EQ(13, Count());

  ComPtr<IDispatch> areas;
  ASSERT_EQ(S_OK, server_->get_Areas(areas.Receive()));
  ComPtr<IDispatch> zones;
  ASSERT_EQ(S_OK, server_->get_Zones(zones.Receive()));
  ComPtr<IDispatch> empty;
  ASSERT_EQ(S_OK, server_->GetEmptyElement(empty.Receive()));

  EXPECT_EQ(1, Property(1, "SecurityMode").i4());
  EXPECT_TRUE(Property(1, "AllAreas").boolean());
  EXPECT_EQ(areas.get(), Property(1, "Area").dispatch());
  EXPECT_EQ(6, Property(2, "SecurityMode").i4());
  EXPECT_FALSE(Property(2, "AllAreas").boolean());
  EXPECT_FALSE(Property(3, "AllZones").boolean());
  EXPECT_EQ(zones.get(), Property(3, "Zone").dispatch());
  EXPECT_TRUE(Property(4, "AllZones").boolean());
  EXPECT_FALSE(Property(5, "AllZones").boolean());
  EXPECT_EQ(1, Property(6, "Mode").i4());
  EXPECT_EQ(0x12, Property(6, "AlarmType").i4());
  EXPECT_EQ(static_cast<int32_t>(0x9C010012u), Property(6, "Data").i4());
  EXPECT_EQ(1, Property(7, "Mode").i4());
  EXPECT_EQ(0, Property(8, "Mode").i4());
  EXPECT_EQ(0, Property(9, "TroubleType").i4());
  EXPECT_EQ(1, Property(10, "TroubleType").i4());
  EXPECT_EQ(2, Property(11, "TroubleType").i4());
  EXPECT_EQ("Cleaner", Property(12, "Code").bstr().str());
  // A missing object: Item's empty element (and its S_FALSE) comes back.
  Variant zone;
  EXPECT_EQ(S_FALSE, GetProperty(Entry(5).get(), "Zone", &zone));
  EXPECT_EQ(empty.get(), zone.dispatch());
  // No time logged: the empty element stands for it.
  EXPECT_EQ(VT_DISPATCH, Property(13, "Time").vt());
  EXPECT_EQ(empty.get(), Property(13, "Time").dispatch());
  EXPECT_EQ(VT_DATE, Property(12, "Time").vt());
  // The class of each entry answers its own interface.
  ComPtr<IZelArmEvent> arm;
  EXPECT_EQ(S_OK, QueryAs<IZelArmEvent>(Entry(1).get(), &arm));
  ComPtr<IZelMessageEvent> message;
  EXPECT_EQ(E_NOINTERFACE, QueryAs<IZelMessageEvent>(Entry(1).get(), &message));
}

TEST_F(EventLogTest, PutsStoreValuesAsGivenAndTimeTakesOnlyDates) {
  ComPtr<CZelArmEvent> e = MakeObject<CZelArmEvent>();
  ASSERT_EQ(S_OK, e->put_Type(Variant::I4(0x10031)));
  Variant v;
  ASSERT_EQ(S_OK, e->get_Type(&v));
  EXPECT_EQ(0x31, v.i4());
  ASSERT_EQ(S_OK, e->put_Time(Variant::Str(BStr("noon"))));
  ASSERT_EQ(S_OK, e->get_Time(&v));
  EXPECT_EQ(VT_DISPATCH, v.vt());
  ASSERT_EQ(S_OK, e->put_Time(Variant::FromDate(Date{45000.25})));
  ASSERT_EQ(S_OK, e->get_Time(&v));
  EXPECT_EQ(45000.25, v.date().value);
  ASSERT_EQ(S_OK, e->put_Index(Variant::UI4(7)));
  ASSERT_EQ(S_OK, e->get_Index(&v));
  EXPECT_EQ(VT_I4, v.vt());
  EXPECT_EQ(7, v.i4());
  BStr name;
  EXPECT_EQ(E_NOTIMPL, e->get_Name(&name));
  EXPECT_EQ(E_POINTER, e->get_Name(nullptr));
  EXPECT_EQ(E_NOTIMPL, e->put_Name(BStr("x")));
}

TEST_F(EventLogTest, PropertyBagCarriesTheKeysInOrder) {
  const std::vector<std::vector<std::string>> expected = {
      {"INDEX", "TYPE", "TIME", "DATA", "CODE"},
      {"INDEX", "TYPE", "TIME", "DATA", "ALARMTYPE", "MODE", "AREA"},
      {"INDEX", "TYPE", "TIME", "DATA", "ALLAREAS", "AREA", "SECURITYMODE", "CODE"},
      {"INDEX", "TYPE", "TIME", "DATA", "MODE", "ZONE", "CODE"},
      {"INDEX", "TYPE", "TIME", "DATA", "MESSAGE"},
      {"INDEX", "TYPE", "TIME", "DATA", "ALLZONES", "ZONE", "CODE"},
      {"INDEX", "TYPE", "TIME", "DATA", "TROUBLETYPE", "ZONE"},
      {"INDEX", "TYPE", "TIME", "DATA"},
  };
  const PropertyMap* maps[] = {&CZelAccessEvent::Properties(),  &CZelAlarmEvent::Properties(),
                               &CZelArmEvent::Properties(),     &CZelBypassEvent::Properties(),
                               &CZelMessageEvent::Properties(), &CZelRestoreEvent::Properties(),
                               &CZelTroubleEvent::Properties(), &CZelEvent::Properties()};
  for (size_t i = 0; i < expected.size(); ++i) {
    std::vector<std::string> keys;
    for (const PropertyEntry& e : *maps[i]) keys.push_back(e.key);
    EXPECT_EQ(expected[i], keys) << i;
  }
}

TEST_F(EventLogTest, ClearLogEmptiesTheListAndTheStoreButKeepsTheLastSeenRecord) {
  log_.AddNewest(RecordFrame(0x30));
  log_.AddNewest(RecordFrame(0x31));
  Get();
  ASSERT_EQ(S_OK, CallMethod(events_.get(), "ClearLog", {}, nullptr));
  EXPECT_EQ(0, Count());
  log_.AddNewest(RecordFrame(0x32));
  ASSERT_EQ(S_OK, events_->Update(true, kAllElements));
  EXPECT_EQ((std::vector<int32_t>{0x32}), Types());
  EXPECT_EQ(1, IndexAt(1));
}

TEST_F(EventLogTest, RestartReproducesTheSameEntriesAndIndexes) {
  log_.AddNewest(RecordFrame(0x30));
  log_.AddNewest(RecordFrame(0x89, 0, 0, 0, 0));
  log_.AddNewest(RecordFrame(0x8A, 0, 3));
  Get();
  std::vector<int32_t> before = Types();
  ASSERT_EQ(S_OK, events_->StopUpdate());
  events_.reset();
  server_.reset();
  server_ = MakeObject<CZelServer>();
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
  link_->ClearSent();
  Get();
  EXPECT_EQ(before, Types());
  for (int32_t i = 1; i <= Count(); ++i) EXPECT_EQ(i, IndexAt(i));
  // The first walk after the restart stops at once at the stored last-seen record.
  EXPECT_EQ(1u, link_->sent_count());
  EXPECT_EQ(VT_DISPATCH, Property(2, "Time").vt());
}

TEST_F(EventLogTest, EveryMemberCarriesARoleAndClearingTheLogIsForAdmins) {
  const MemberTable* tables[] = {
      &CZelEvents::Members(),       &CZelEvent::Members(),        &CZelAccessEvent::Members(),
      &CZelAlarmEvent::Members(),   &CZelArmEvent::Members(),     &CZelBypassEvent::Members(),
      &CZelMessageEvent::Members(), &CZelRestoreEvent::Members(), &CZelTroubleEvent::Members()};
  for (const MemberTable* t : tables) {
    for (const MemberInfo& m : t->members()) {
      for (const Accessor& a : m.accessors) {
        EXPECT_NE(Role::kUntagged, a.role) << t->type_name() << "." << m.name;
        // Entries are read by clients; only their puts (the log's own bookkeeping) are admin's.
        if (t != tables[0] && a.kind == DISPATCH_PROPERTYGET) {
          EXPECT_EQ(Role::kRead, a.role) << t->type_name() << "." << m.name;
        }
      }
    }
  }
  const MemberInfo* clear = CZelEvents::Members().FindByName("ClearLog");
  ASSERT_NE(nullptr, clear);
  EXPECT_EQ(Role::kAdmin, clear->Find(DISPATCH_METHOD)->role);
  EXPECT_EQ(kDispidClearLog, clear->dispid);
}

TEST_F(EventLogTest, TheLogIsOneObjectWhileItIsHeld) {
  Get(false);
  ComPtr<IDispatch> again;
  ASSERT_EQ(S_OK, server_->get_Events(again.Receive()));
  EXPECT_EQ(static_cast<IDispatch*>(static_cast<IZelEvents*>(events_.get())), again.get());
  ComPtr<IZelEvents> created;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(kClsidZelEvents, &created));
  EXPECT_EQ(static_cast<IZelEvents*>(events_.get()), created.get());
}

TEST_F(EventLogTest, NoStoreNoLog) {
  server_.reset();
  server_ = MakeObject<CZelServer>();
  ComPtr<IDispatch> d;
  EXPECT_EQ(E_UNEXPECTED, server_->get_Events(d.Receive()));
}

}  // namespace
}  // namespace zel
