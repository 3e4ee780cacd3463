// The fixture the server's unit tests share: a private instance directory (so ZELINFO.DAT is a
// fresh file per test), a small resource catalogue, a test clock whose monotonic time the test
// moves by hand, the transport classes, and a new server with a fake transport.
//
// Thread contract: set-up and tear-down on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "server/fake_transport.h"
#include "server/zel_server.h"

namespace zel {

// Monotonic time stands still until Advance moves it; waits are scaled by the divisor.
class ManualClock : public ScaledClock {
 public:
  explicit ManualClock(int divisor = 1) : ScaledClock(divisor) {}
  std::chrono::steady_clock::time_point Now() override { return base_ + offset_.load(); }
  void Advance(Millis ms) { offset_ = offset_.load() + ms; }

 private:
  std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
  std::atomic<Millis> offset_{Millis(0)};
};

// Records the production duration of every wait and pause it scales (and runs them `divisor`
// times faster), so a test asserts each time-out and pause exactly as the code asked for it.
class RecordingClock : public ScaledClock {
 public:
  explicit RecordingClock(int divisor = 1000) : ScaledClock(divisor) {}
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
  void Clear() {
    std::lock_guard<std::mutex> g(mu_);
    waits_.clear();
  }
  // Waits (real time, at most 5 s) until at least n waits are recorded.
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

// The catalogue texts the server reads: model names, the unset date, the serial transport's
// name and device prefix, and message texts for the codes the tests provoke.
void InstallTestResources();

// Local time_t of a wall-clock date and time.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second);

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fake transport set as the server's transport (connected through the put).
  FakeTransport* UseFake(FakeControllerConfig config = FakeControllerConfig());
  // The server's transport as the fake it is.
  FakeTransport* fake();

  std::string dir_;
  ManualClock clock_;
  ComPtr<CZelServer> server_;
};

}  // namespace zel
