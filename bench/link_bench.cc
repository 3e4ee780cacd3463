// Time per exchange of the serial transport against the in-process simulator over a
// pseudo-terminal: a 5-byte probe and a 9-byte command, each answered with the 5-byte
// acknowledge. Reported per benchmark: the median and 99th percentile of one exchange in
// microseconds, and the time the same bytes take on a 9600 baud line (10 bits per byte), which
// is what a real controller link costs at the least.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "link/frame.h"
#include "link/serial_transport.h"
#include "testing/sim_fixture.h"

namespace zel {
namespace {

// Wire time of request plus reply at 9600 baud, 10 bits per byte (start, 8 data, stop).
double WireMicros(size_t bytes) { return static_cast<double>(bytes) * 10.0 / 9600.0 * 1e6; }

void RunExchanges(benchmark::State& state, const std::vector<uint8_t>& request) {
  SimFixture fixture(0);  // a temporary directory, the catalogue, the simulator; the real clock
  sim::Scenario scenario;
  scenario.probe_ack = true;
  ComPtr<CZelCommHandlerSerial> transport = fixture.NewSerialLink();
  if (Failed(fixture.Start(scenario)) || Failed(transport->Connect())) {
    state.SkipWithError("cannot open the simulator's terminal");
    return;
  }

  std::vector<double> micros;
  micros.reserve(100000);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    uint8_t* reply = nullptr;
    HRESULT hr =
        transport->SendRequest(request.data(), static_cast<uint32_t>(request.size()), &reply);
    auto stop = std::chrono::steady_clock::now();
    ReplyBuffer owned(reply);
    if (hr != S_OK || !IsAckFrame(reply)) {
      state.SkipWithError("exchange failed");
      break;
    }
    double us = std::chrono::duration<double, std::micro>(stop - start).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["wire_9600_us"] = WireMicros(request.size() + kAckFrame.size());
  }
  transport->Disconnect();
}

void BM_SerialProbe(benchmark::State& state) {
  RunExchanges(state, std::vector<uint8_t>(kAckFrame.begin(), kAckFrame.end()));
}
BENCHMARK(BM_SerialProbe)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(5000);

void BM_SerialCommand(benchmark::State& state) {
  // Command 1, parameter 1 = 2, parameter 2 = 3.
  RunExchanges(state, {0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xB4, 0x69});
}
BENCHMARK(BM_SerialCommand)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(5000);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
