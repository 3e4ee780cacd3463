// The update thread against a test link, on a clock that runs every production wait 1000 times
// faster and records the production durations asked for, so the order of waits and pauses is
// what the tests check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/collection.h"
#include "model/model_registration.h"
#include "model/plain_element.h"
#include "platform/property_bag.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"

namespace zel {
namespace {

class RecordingClock : public ScaledClock {
 public:
  RecordingClock() : ScaledClock(1000) {}
  Millis Scaled(Millis production) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      waits_.push_back(production.count());
    }
    return ScaledClock::Scaled(production);
  }
  std::vector<int64_t> waits() {
    std::lock_guard<std::mutex> g(mu_);
    return waits_;
  }
  // Waits (real time) until at least n waits are recorded.
  bool WaitForCount(size_t n) {
    for (int i = 0; i < 5000; ++i) {
      if (waits().size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> waits_;
};

inline constexpr CollectionTraits kPolledTraits{"Polled", 1,     kClsidZelZone, "ZONES",
                                                0x15,     false, nullptr};
class Polled final : public ZelCollectionImpl<Polled, IZelCollection, kPolledTraits> {};

constexpr int64_t kInterval = 250;

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
    polled_ = MakeObject<Polled>();
    ComPtr<CZelCollectionElement> element = MakeObject<CZelCollectionElement>();
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    bag->Write("ID", Variant::I4(1));
    element->Load(bag.get());
    polled_->Add(Variant::Dispatch(static_cast<IZelCollectionElement*>(element.get())),
                 Variant::Missing());
    polled_->put_UpdateInterval(Variant::UI4(kInterval));
  }
  void TearDown() override {
    if (polled_) polled_->StopUpdate();
    polled_.reset();
    server_.reset();
    Clock::SetForTesting(nullptr);
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
