// The fixture the server's unit tests share: a private instance directory (so ZELINFO.DAT is a
// fresh file per test), a small resource catalogue, a test clock whose monotonic time the test
// moves by hand, the transport classes, and a new server with a fake transport.
//
// Thread contract: set-up and tear-down on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"
#include "testing/temp_dir.h"
#include "testing/test_clocks.h"

namespace zel {

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
  FakeLink* UseFake(FakeControllerConfig config = FakeControllerConfig());
  // The server's transport as the fake it is.
  FakeLink* fake();

  std::unique_ptr<TempInstanceDir> instance_;
  std::string dir_;
  ManualClock clock_;
  ComPtr<CZelServer> server_;
};

}  // namespace zel
