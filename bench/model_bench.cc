// A full poll of a large object model against the in-process simulator over a pseudo-terminal,
// through the real serial transport. The controller is the largest model of the capability
// records (176 zones, units 1 to 511), started through the server's whole start sequence; every
// zone (with the model's built-in system zones) and every unit is polled once per pass.
//
// Reported per pass:
//   cpu_us_per_poll   the polling thread's own CPU time per element poll (CLOCK_THREAD_CPUTIME_ID:
//                     building the request, the transport's writes and reads, decoding; the
//                     time spent waiting for the controller is not counted)
//   wall_us_per_poll  elapsed time per element poll over the pty (the simulator answers at once)
//   wire_us_per_poll  the request and reply bytes of one poll on a 9600 baud line, 10 bits per
//                     byte, averaged over the pass: what a real controller link costs at least
//   vmrss_kib         the process's resident memory (VmRSS) once the server is ssInteractive;
//                     the process also holds the simulator and the benchmark library
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "link/serial_transport.h"
#include "model/collection_interfaces.h"
#include "model/model_registration.h"
#include "platform/instance_paths.h"
#include "platform/resource_library.h"
#include "server/zel_server.h"
#include "sim/simulator.h"

namespace zel {
namespace {

constexpr int kModelCode = 16;  // model index 5: 176 zones, units 1 to 511
constexpr int kZones = 176;
constexpr int kSystemZones = 39;  // zones 177 to 215 of the model's built-in table
constexpr int kUnits = 511;

double ThreadCpuMicros() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

long VmRssKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Bytes on the wire of one poll: a 7-byte request (9 bytes for numbers from 256) and a reply of
// 4 + 1 + data bytes (zones 2, units 3).
double WireMicros(int bytes) { return bytes * 10.0 / 9600.0 * 1e6; }

std::string LargeHouse() {
  nlohmann::json zones = nlohmann::json::array(), units = nlohmann::json::array();
  nlohmann::json zone_names = nlohmann::json::array(), unit_names = nlohmann::json::array();
  for (int z = 1; z <= kZones + kSystemZones; ++z) {
    zones.push_back({{"number", z}, {"area", 1 + (z - 1) % 8}, {"status", z % 64}, {"loop", 200}});
    if (z <= kZones) zone_names.push_back({{"number", z}, {"name", "ZONE " + std::to_string(z)}});
  }
  for (int u = 1; u <= kUnits; ++u) {
    units.push_back({{"number", u}, {"status", u % 2}});
    unit_names.push_back({{"number", u}, {"name", "UNIT " + std::to_string(u)}});
  }
  nlohmann::json areas = nlohmann::json::array();
  for (int a = 1; a <= 8; ++a) areas.push_back({{"number", a}, {"mode", 0}});
  nlohmann::json doc = {
      {"controller",
       {{"model", kModelCode},
        {"access_code", "1234"},
        {"probe_ack", true},
        {"firmware", {{"major", 3}, {"minor", 2}, {"revision", 0}}}}},
      {"setup", {{"block_size", 250}, {"areas_in_use", 8}}},
      {"objects", {{"zones", zones}, {"units", units}, {"areas", areas}}},
      {"names", {{"zones", zone_names}, {"units", unit_names}}},
  };
  return doc.dump();
}

void BM_FullModelPass(benchmark::State& state) {
  char dir_template[] = "/tmp/zel-model-bench-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  std::string dir = dir_template;
  SetInstanceDir(dir);
  std::shared_ptr<const ResourceLibrary> shipped;
  std::string texts = "[strings]\n185 = " + dir + "/tty\n";
  if (Succeeded(ResourceLibrary::LoadFile(SourceTreeCatalogPath(), &shipped))) {
    for (uint32_t id = 100; id < 250; ++id) {
      if (id == 185) continue;
      if (auto s = shipped->String(id)) texts += std::to_string(id) + " = " + *s + "\n";
    }
  }
  std::shared_ptr<const ResourceLibrary> library;
  (void)ResourceLibrary::Parse(texts, &library);
  InstallResources(library);
  RegisterServerClasses();
  RegisterModelClasses();

  sim::Scenario scenario;
  std::string error;
  if (Failed(sim::ParseScenario(LargeHouse(), &scenario, &error))) {
    state.SkipWithError(("scenario: " + error).c_str());
    return;
  }
  sim::Simulator simulator(std::move(scenario));
  ComPtr<CZelServer> server = MakeObject<CZelServer>();
  ComPtr<CZelCommHandlerSerial> serial = MakeObject<CZelCommHandlerSerial>();
  if (Failed(simulator.Start()) || Failed(simulator.CreateLink(dir + "/tty1")) ||
      Failed(server->put_CommunicationsHandler(serial.get())) ||
      Failed(server->put_AccessCode(BStr("1234"))) || Failed(server->Start()) ||
      server->status() != ssInteractive) {
    state.SkipWithError("the server did not start against the simulator");
    return;
  }
  long rss = VmRssKib();

  ComPtr<IZelCollection> zones, units;
  {
    ComPtr<IDispatch> d;
    (void)server->GetCollection(kSlotZones, d.Receive());
    (void)QueryAs<IZelCollection>(d.get(), &zones);
    (void)server->GetCollection(kSlotUnits, d.Receive());
    (void)QueryAs<IZelCollection>(d.get(), &units);
  }
  int32_t zone_count = 0, unit_count = 0;
  if (!zones || !units || Failed(zones->get_Count(&zone_count)) ||
      Failed(units->get_Count(&unit_count)) || unit_count != kUnits) {
    state.SkipWithError("the model lacks its zones or units");
    return;
  }
  // Only this benchmark polls: the units' own update thread is stopped.
  (void)units->StopUpdate();
  (void)zones->StopUpdate();

  int wire_bytes = 0;
  for (int z = 1; z <= zone_count; ++z) wire_bytes += 7 + 7;
  for (int u = 1; u <= unit_count; ++u) wire_bytes += (u < 256 ? 7 : 9) + 8;
  int polls = zone_count + unit_count;

  double cpu_total = 0, wall_total = 0;
  for (auto _ : state) {
    double cpu0 = ThreadCpuMicros();
    auto start = std::chrono::steady_clock::now();
    HRESULT hz = zones->Update(false, kAllElements);
    HRESULT hu = units->Update(false, kAllElements);
    auto stop = std::chrono::steady_clock::now();
    double cpu = ThreadCpuMicros() - cpu0;
    if (hz != S_OK || hu != S_OK) {
      state.SkipWithError("a poll failed");
      break;
    }
    double wall = std::chrono::duration<double, std::micro>(stop - start).count();
    cpu_total += cpu;
    wall_total += wall;
    state.SetIterationTime(wall / 1e6);
  }
  double passes = static_cast<double>(state.iterations());
  if (passes > 0) {
    state.counters["polls_per_pass"] = polls;
    state.counters["cpu_us_per_poll"] = cpu_total / passes / polls;
    state.counters["wall_us_per_poll"] = wall_total / passes / polls;
    state.counters["wire_us_per_poll"] = WireMicros(wire_bytes) / polls;
    state.counters["vmrss_kib"] = static_cast<double>(rss);
  }
  (void)server->Stop();
  server.reset();
  simulator.Stop();
  InstallResources(nullptr);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_FullModelPass)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
