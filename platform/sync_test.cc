#include "platform/sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace zel {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Fails unless another thread holds mu (a wrongly free mutex is given back, not left taken).
void ExpectTaken(Mutex* mu) {
  std::thread probe([mu] {
    if (mu->TryLock()) {
      mu->Unlock();
      ADD_FAILURE() << "the mutex was free";
    }
  });
  probe.join();
}

TEST(SyncTest, ManualResetEventWaitsUntilSetOrTimedOut) {
  ScaledClock clock(100);  // a production second is 10 ms
  ScopedClock scoped(&clock);
  ManualResetEvent event;
  auto start = steady_clock::now();
  EXPECT_FALSE(event.WaitFor(Millis(5000)));  // 50 ms
  auto waited = steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(50));
  EXPECT_LT(waited, milliseconds(5000)) << "a time-out that ignores the clock's scale";

  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.WaitFor(Millis(1000000)));  // woken by Set, not by the time-out
  setter.join();
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.WaitFor(Millis(0)));  // set: no wait at all
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(Millis(0)));
}

TEST(SyncTest, CondVarHoldsTheMutexAgainAfterEveryWait) {
  Mutex mu;
  CondVar cv;
  bool ready = false;
  std::thread signaller([&] {
    std::this_thread::sleep_for(milliseconds(20));
    MutexLock lock(&mu);
    ready = true;
    cv.SignalAll();
  });
  {
    MutexLock lock(&mu);
    while (!ready) cv.Wait(&mu);
    // Still held: another thread cannot take it.
    ExpectTaken(&mu);
    EXPECT_FALSE(cv.WaitUntil(&mu, steady_clock::now() + milliseconds(10)));
    ExpectTaken(&mu);
  }
  signaller.join();
  ASSERT_TRUE(mu.TryLock());  // released by the scope
  mu.Unlock();
}

TEST(SyncTest, MutexLockLetsGoForAStretchAndTakesItBack) {
  Mutex mu;
  {
    MutexLock lock(&mu);
    lock.Unlock();
    std::thread other([&] {
      ASSERT_TRUE(mu.TryLock());
      mu.Unlock();
    });
    other.join();
    lock.Lock();
    ExpectTaken(&mu);
  }
  // Released exactly once at the end of the scope, also after Unlock without Lock.
  {
    MutexLock lock(&mu);
    lock.Unlock();
  }
  ASSERT_TRUE(mu.TryLock());
  mu.Unlock();

  RecursiveMutex recursive;
  MutexLock outer(&recursive);
  MutexLock inner(&recursive);  // the holder may take it again
}

}  // namespace
}  // namespace zel
