// SimFixture: what every test that talks to the simulator over a pseudo-terminal sets up, in
// one place: a temporary instance directory, a scaled clock that records its waits, the shipped
// catalogue's texts with the serial device prefix pointing into the directory, the simulator with
// its link at
// "<dir>/tty1", and serial transports that reach it (Port 1). Its destructor stops the
// simulator and puts the catalogue and the clock back.
//
//   SimFixture fixture_{10};                        // production waits run 10 times faster
//   SimFixture fixture{0};                          // the real clock, nothing recorded (benches)
//   ASSERT_EQ(S_OK, fixture_.Start(R"({"controller": {"probe_ack": true}})"));
//   ComPtr<CZelCommHandlerSerial> link = fixture_.NewSerialLink();
//
// Thread contract: made, used and destroyed on the test's thread; sim() is the simulator's own
// free-threaded interface.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "link/serial_transport.h"
#include "platform/clock.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "testing/temp_dir.h"
#include "testing/test_clocks.h"

namespace zel {

class SimFixture {
 public:
  // Texts that replace the shipped catalogue's, by string id.
  using Texts = std::map<uint32_t, std::string>;

  // A clock divisor of 0 leaves the real clock in place (clock() then records nothing).
  explicit SimFixture(int clock_divisor, const Texts& texts = {});
  ~SimFixture();
  SimFixture(const SimFixture&) = delete;
  SimFixture& operator=(const SimFixture&) = delete;

  // Starts the simulator with a scenario (JSON text, or one already parsed) and its link.
  HRESULT Start(const std::string& scenario_json);
  HRESULT Start(sim::Scenario scenario);
  // Starts the simulator answering on UDP at 127.0.0.1 (a free port: sim().udp_port()) instead.
  HRESULT StartUdp(sim::Scenario scenario);
  // A new serial transport on Port 1, not yet connected.
  ComPtr<CZelCommHandlerSerial> NewSerialLink();

  sim::Simulator& sim() { return *sim_; }
  const sim::Scenario& scenario() const { return scenario_; }
  const std::string& dir() const { return dir_.path(); }
  RecordingClock& clock() { return clock_; }
  // The frames the simulator received with message type `type`, in order.
  std::vector<sim::Bytes> FramesOfType(uint8_t type);

 private:
  TempInstanceDir dir_{"sim"};
  RecordingClock clock_;
  ScopedClock scoped_clock_;
  sim::Scenario scenario_;
  std::unique_ptr<sim::Simulator> sim_;
};

}  // namespace zel
