// The update thread against a test link, on a clock that runs every production wait 1000 times
// faster and records the production durations asked for (RecordingClock), so the order of waits
// and pauses is what the tests check.
#include "model/update_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

#include "link/link_health.h"
#include "model/collection.h"
#include "model/model_registration.h"
#include "model/plain_element.h"
#include "platform/property_bag.h"
#include "server/server_log_hook.h"
#include "server/server_test_fixture.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"
#include "testing/test_clocks.h"

namespace zel {
namespace {

inline constexpr CollectionTraits kPolledTraits{"Polled", 1,     kClsidZelZone, "ZONES",
                                                0x15,     false, nullptr};
class Polled final : public ZelCollectionImpl<Polled, IZelCollection, kPolledTraits> {};

constexpr int64_t kInterval = 250;

// Holds a re-login's probe in its exchange (on the link's thread) until the test releases it.
class ProbeLatch {
 public:
  void Hold() {
    std::unique_lock<std::mutex> g(mu_);
    held_ = true;
    cv_.notify_all();
    cv_.wait(g, [&] { return released_; });
  }
  bool WaitHeld() {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::seconds(10), [&] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> g(mu_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false;
  bool released_ = false;
};

class UpdateThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterModelClasses();
    Clock::SetForTesting(&clock_);
    server_ = MakeObject<CZelServer>();
    link_ = MakeObject<FakeLink>();
    // A controller that has none of the items asked for, unless a test says otherwise.
    link_->SetAnswer([](const Bytes&) { return NakBytes(); });
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(link_.get()));
    polled_ = MakePolled({1});
  }
  void TearDown() override {
    if (polled_) polled_->StopUpdate();
    polled_.reset();
    server_.reset();
    LinkHealth::Process().set_down_after(LinkHealth::kDefaultDownAfter);
    Clock::SetForTesting(nullptr);
  }
  // A polled collection with elements of the given IDs, polled every kInterval ms.
  static ComPtr<Polled> MakePolled(std::initializer_list<int32_t> ids) {
    ComPtr<Polled> polled = MakeObject<Polled>();
    for (int32_t id : ids) {
      ComPtr<CZelCollectionElement> element = MakeObject<CZelCollectionElement>();
      ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
      bag->Write("ID", Variant::I4(id));
      element->Load(bag.get());
      polled->Add(Variant::Dispatch(static_cast<IZelCollectionElement*>(element.get())),
                  Variant::Missing());
    }
    polled->put_UpdateInterval(Variant::UI4(kInterval));
    return polled;
  }
  // Starts polling and returns the recorded waits once `n` are there, then stops.
  std::vector<int64_t> RunUntil(size_t n) {
    EXPECT_EQ(S_OK, polled_->Init());
    EXPECT_TRUE(clock_.WaitForCount(n));
    polled_->StopUpdate();
    return clock_.waits();
  }
  static void AppendPasses(std::vector<int64_t>* v, int failed) {
    for (int i = 0; i < failed; ++i) v->insert(v->end(), {kInterval, 1000});
  }

  RecordingClock clock_;
  ComPtr<CZelServer> server_;
  ComPtr<FakeLink> link_;
  ComPtr<Polled> polled_;
};

TEST_F(UpdateThreadTest, FailedPassesPauseAndReloginFromTheFifteenthWhileInteractive) {
  server_->ChangeStatus(ssInteractive, S_OK);
  link_->SetFailing(true);
  int connects_before = link_->connects();
  std::vector<int64_t> waits = RunUntil(40);
  std::vector<int64_t> expected;
  AppendPasses(&expected, 15);
  expected.push_back(5000);  // the 15th failure: re-login after 5 s
  expected.insert(expected.end(), {kInterval, 1000, 5000, kInterval, 1000, 5000});
  ASSERT_GE(waits.size(), expected.size());
  EXPECT_EQ(expected, std::vector<int64_t>(waits.begin(), waits.begin() + expected.size()));
  // Each re-login reconnected the transport; the failed logins leave the status alone.
  EXPECT_GE(link_->connects() - connects_before, 3);
  int32_t status = 0;
  server_->get_Status(&status);
  EXPECT_EQ(ssInteractive, status);
}

// A link that is down (here: at its first failure) brings the re-login after one failed pass,
// and no other such early re-login for a minute; the 15th failure still brings its own. On a
// link that is down each re-login drops the dead session first: two disconnects per connect.
TEST_F(UpdateThreadTest, ALinkThatIsDownBringsOneEarlyReloginAMinute) {
  server_->ChangeStatus(ssInteractive, S_OK);
  LinkHealth::Process().set_down_after(Millis(0));
  link_->SetFailing(true);
  int connects_before = link_->connects();
  int disconnects_before = link_->disconnects();
  std::vector<int64_t> waits = RunUntil(36);
  LinkHealth::Process().set_down_after(LinkHealth::kDefaultDownAfter);
  std::vector<int64_t> expected = {kInterval, 1000, 5000};  // the first failure: re-login
  AppendPasses(&expected, 14);                              // within the minute: none
  expected.push_back(5000);                                 // the 15th failure
  ASSERT_GE(waits.size(), expected.size());
  EXPECT_EQ(expected, std::vector<int64_t>(waits.begin(), waits.begin() + expected.size()));
  int connects = link_->connects() - connects_before;
  EXPECT_GE(connects, 2);
  EXPECT_EQ(2 * connects, link_->disconnects() - disconnects_before);
}

// The spacing of early re-logins is kept on the monotonic clock, across all threads.
TEST(LinkDownReloginTest, OneClaimPerSpacing) {
  ManualClock clock;
  Clock::SetForTesting(&clock);
  {
    ComPtr<CZelServer> server = MakeObject<CZelServer>();
    EXPECT_TRUE(server->ClaimLinkDownRelogin(kLinkDownReloginSpacing));
    EXPECT_FALSE(server->ClaimLinkDownRelogin(kLinkDownReloginSpacing));
    clock.Advance(Millis(59999));
    EXPECT_FALSE(server->ClaimLinkDownRelogin(kLinkDownReloginSpacing));
    clock.Advance(Millis(1));
    EXPECT_TRUE(server->ClaimLinkDownRelogin(kLinkDownReloginSpacing));
  }
  EXPECT_EQ(60000, kLinkDownReloginSpacing.count());
  Clock::SetForTesting(nullptr);
}

// A pass goes on past a failed element while the link is up, and stops at the first failure
// once the link is down: the rest would only wait out their time-outs.
TEST_F(UpdateThreadTest, APassOnALinkThatIsDownStopsAtItsFirstFailure) {
  ComPtr<Polled> three = MakePolled({1, 2, 3});
  link_->SetFailing(true);
  link_->ClearSent();
  EXPECT_TRUE(Failed(three->TryUpdate(true, kAllElements)));
  EXPECT_EQ(3u, link_->sent_count());
  LinkHealth::Process().set_down_after(Millis(0));
  link_->ClearSent();
  EXPECT_TRUE(Failed(three->TryUpdate(true, kAllElements)));
  LinkHealth::Process().set_down_after(LinkHealth::kDefaultDownAfter);
  EXPECT_EQ(1u, link_->sent_count());
}

TEST_F(UpdateThreadTest, NoReloginUnlessInteractive) {
  server_->ChangeStatus(ssLoadingNames, S_OK);
  link_->SetFailing(true);
  int connects_before = link_->connects();
  std::vector<int64_t> waits = RunUntil(60);
  std::vector<int64_t> expected;
  AppendPasses(&expected, 30);
  EXPECT_EQ(expected, std::vector<int64_t>(waits.begin(), waits.begin() + expected.size()));
  EXPECT_EQ(connects_before, link_->connects());
}

TEST_F(UpdateThreadTest, ASuccessfulPassResetsTheCount) {
  server_->ChangeStatus(ssInteractive, S_OK);
  // Init's own update (request 1), 14 failed passes, one good one, then failures again.
  std::atomic<int> requests{0};
  link_->SetAnswer([&](const Bytes& r) -> Bytes {
    int n = ++requests;
    if (n == 16 && r[2] == 0x15) return SealFrame(0x16, {0, 0});
    return {};
  });
  std::vector<int64_t> waits = RunUntil(62);
  std::vector<int64_t> expected;
  AppendPasses(&expected, 14);
  expected.push_back(kInterval);  // the good pass: no pause
  AppendPasses(&expected, 15);
  expected.push_back(5000);
  ASSERT_GE(waits.size(), expected.size());
  EXPECT_EQ(expected, std::vector<int64_t>(waits.begin(), waits.begin() + expected.size()));
}

TEST_F(UpdateThreadTest, IntervalChangeTakesEffectAfterTheCurrentWait) {
  link_->SetAnswer([](const Bytes&) { return SealFrame(0x16, {0, 0}); });
  ASSERT_EQ(S_OK, polled_->Init());
  ASSERT_TRUE(clock_.WaitForCount(5));
  polled_->put_UpdateInterval(Variant::UI4(700));
  size_t changed_at = clock_.waits().size();
  ASSERT_TRUE(clock_.WaitForCount(changed_at + 5));
  polled_->StopUpdate();
  std::vector<int64_t> waits = clock_.waits();
  // 250 until the change is read, then 700 only; the stop's own 30 s bound comes last.
  size_t i = 0;
  while (i < waits.size() && waits[i] == kInterval) ++i;
  EXPECT_GE(i, 5u);
  EXPECT_LE(i, changed_at + 1);
  size_t sevens = 0;
  while (i < waits.size() && waits[i] == 700) ++i, ++sevens;
  EXPECT_GE(sevens, 3u);
  ASSERT_EQ(i + 1, waits.size());
  EXPECT_EQ(30000, waits.back());
}

// An interval given as text or as a real number polls at its value; one that is no number of
// milliseconds (or is 0) polls nothing more, is reported in the server log, and lets a later
// Init start polling again.
TEST_F(UpdateThreadTest, IntervalsOfOtherTypesPollAtTheirValueOrNotAtAll) {
  struct Entry {
    std::string description;
    HRESULT code;
  };
  std::mutex log_mu;
  std::vector<Entry> log;
  SetServerLogWriter(
      [&](std::string_view, std::string_view, std::string_view description, HRESULT code) {
        std::lock_guard<std::mutex> g(log_mu);
        log.push_back({std::string(description), code});
      });
  link_->SetAnswer([](const Bytes&) { return SealFrame(0x16, {0, 0}); });

  for (const Variant& interval : {Variant::Str("2000"), Variant::R8(2000.0)}) {
    SCOPED_TRACE(interval.vt());
    polled_->put_UpdateInterval(interval);
    size_t before = clock_.waits().size();
    ASSERT_EQ(S_OK, polled_->Init());
    ASSERT_TRUE(clock_.WaitForCount(before + 4));
    polled_->StopUpdate();
    std::vector<int64_t> waits = clock_.waits();
    // Every wait of the thread was 2000 ms; the stop's own 30 s bound comes last.
    for (size_t i = before; i + 1 < waits.size(); ++i) EXPECT_EQ(2000, waits[i]) << i;
    // Put keeps the variant as given.
    Variant stored;
    ASSERT_EQ(S_OK, polled_->get_UpdateInterval(&stored));
    EXPECT_EQ(interval, stored);
  }

  struct Refused {
    Variant interval;
    HRESULT code;
  };
  for (const Refused& r :
       {Refused{Variant::Str("fast"), DISP_E_TYPEMISMATCH}, Refused{Variant::R8(0.0), E_INVALIDARG},
        Refused{Variant::I4(-1), DISP_E_OVERFLOW}}) {
    SCOPED_TRACE(r.interval.vt());
    {
      std::lock_guard<std::mutex> g(log_mu);
      log.clear();
    }
    polled_->put_UpdateInterval(r.interval);
    size_t requests_before = link_->sent_count();
    ASSERT_EQ(S_OK, polled_->Init());
    // The thread reports and ends without a wait or a pass of its own.
    for (int i = 0; i < 5000 && polled_->RefCountForTesting() > 1; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(1u, polled_->RefCountForTesting());
    EXPECT_EQ(requests_before + 1, link_->sent_count()) << "only Init's own update";
    std::lock_guard<std::mutex> g(log_mu);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(r.code, log[0].code);
    EXPECT_NE(std::string::npos, log[0].description.find("Polled: UpdateInterval"));
  }

  // A usable interval put afterwards polls again at the next Init, without a StopUpdate first.
  polled_->put_UpdateInterval(Variant::UI4(kInterval));
  size_t before = clock_.waits().size();
  ASSERT_EQ(S_OK, polled_->Init());
  ASSERT_TRUE(clock_.WaitForCount(before + 2));
  EXPECT_EQ(kInterval, clock_.waits()[before]);
  polled_->StopUpdate();
  SetServerLogWriter(nullptr);
}

TEST_F(UpdateThreadTest, StopUpdateAbandonsAThreadStuckInAnExchange) {
  ASSERT_EQ(S_OK, polled_->Init());
  // The next pass hangs in its exchange.
  link_->CloseGate();
  ASSERT_TRUE(link_->WaitInFlight(Millis(5000)));
  EXPECT_EQ(2u, polled_->RefCountForTesting()) << "the thread holds the collection";
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(S_OK, polled_->StopUpdate());
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_GE(took, std::chrono::milliseconds(30)) << "30 s, scaled";
  EXPECT_FALSE(polled_->HasUpdateThread());
  EXPECT_EQ(30000, clock_.waits().back());
  // Once its exchange returns, the abandoned thread ends and lets the collection go.
  link_->OpenGate();
  for (int i = 0; i < 5000 && polled_->RefCountForTesting() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1u, polled_->RefCountForTesting());
}

// Two collections fail together and reach their re-login at once: the second waits for the
// first's in the link's atomic bracket and, as that one succeeded, skips its own.
TEST_F(UpdateThreadTest, TwoFailingCollectionsLogInOnce) {
  server_->ChangeStatus(ssInteractive, S_OK);
  ProbeLatch latch;
  std::atomic<bool> polls_answered{false};
  link_->SetAnswer([&](const Bytes& r) -> Bytes {
    if (r == AckBytes()) {
      // The first re-login's probe waits until the other thread has come to the bracket.
      latch.Hold();
      return AckBytes();
    }
    return polls_answered ? SealFrame(0x16, {0, 0}) : Bytes{};
  });
  ComPtr<Polled> second = MakePolled({2});
  int connects_before = link_->connects();
  ASSERT_EQ(S_OK, polled_->Init());
  ASSERT_EQ(S_OK, second->Init());
  ASSERT_TRUE(latch.WaitHeld());
  // The other thread comes to the bracket: with its own re-login when its failures reached 15
  // as well (most runs), with a pass otherwise.
  auto pauses = [&] {
    std::vector<int64_t> w = clock_.waits();
    return std::count(w.begin(), w.end(), 5000);
  };
  for (int i = 0; i < 1000 && (link_->bracket_waiters() == 0 || pauses() < 2); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(1, link_->bracket_waiters());
  polls_answered = true;
  latch.Release();
  // Both collections poll successfully again.
  size_t before = link_->sent_count();
  for (int i = 0; i < 10000 && link_->sent_count() < before + 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  second->StopUpdate();
  polled_->StopUpdate();
  std::vector<Bytes> requests = link_->frames();
  EXPECT_EQ(1, std::count(requests.begin(), requests.end(), AckBytes())) << "one probe";
  EXPECT_EQ(1, link_->connects() - connects_before) << "one reconnection";
  EXPECT_EQ(1u, server_->login_count());
}

// A thread that StopUpdate gave up on while it was logging in again keeps the server alive until
// its exchange ends, even when the host lets the server go meanwhile; then the thread ends and
// the server goes with it.
TEST_F(UpdateThreadTest, AnAbandonedThreadNeverOutlivesTheServerItUses) {
  server_->ChangeStatus(ssInteractive, S_OK);
  ProbeLatch latch;
  link_->SetAnswer([&](const Bytes& r) -> Bytes {
    if (r != AckBytes()) return {};
    latch.Hold();
    return NakBytes();
  });
  ASSERT_EQ(S_OK, polled_->Init());
  ASSERT_TRUE(latch.WaitHeld());
  EXPECT_EQ(S_OK, polled_->StopUpdate());  // gives up after its 30 s (scaled)
  EXPECT_FALSE(polled_->HasUpdateThread());
  EXPECT_EQ(2u, server_->RefCountForTesting()) << "the thread holds the server it logs in with";
  server_.reset();
  EXPECT_TRUE(ServerInstance()) << "still in use by the thread";
  latch.Release();
  // The login is refused, the thread sees its stop and ends: the collection and the server go.
  for (int i = 0; i < 5000 && polled_->RefCountForTesting() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1u, polled_->RefCountForTesting());
  for (int i = 0; i < 5000 && ServerInstance(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(ServerInstance());
}

TEST_F(UpdateThreadTest, WithoutAServerTheThreadEndsAtTheFifteenthFailure) {
  // No server: every poll fails (no transport), and the 15th failure finds no server.
  server_.reset();
  ASSERT_EQ(S_OK, polled_->Init());
  EXPECT_TRUE(polled_->HasUpdateThread());
  for (int i = 0; i < 5000 && polled_->RefCountForTesting() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1u, polled_->RefCountForTesting());
  EXPECT_EQ(S_OK, polled_->StopUpdate());
}

}  // namespace
}  // namespace zel
