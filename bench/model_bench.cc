// A full poll of a large object model against the in-process simulator over a pseudo-terminal,
// through the real serial transport. The controller is the largest model of the capability
// records (176 zones, units 1 to 511 with an audio system in the model's audio ranges), started
// through the server's whole start sequence. Two passes:
//   BM_ZonesAndUnitsPass  every zone (with the model's built-in system zones) and every unit;
//   BM_FullModelPass      the same, plus every thermostat, temperature sensor, audio zone and
//                         audio source (its metadata walk) and the one message-status exchange:
//                         every polled kind.
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
#include <time.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "link/serial_transport.h"
#include "model/collection_interfaces.h"
#include "model/model_classes.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/property_bag.h"
#include "server/zel_server.h"
#include "sim/scenario.h"
#include "testing/sim_fixture.h"

namespace zel {
namespace {

constexpr int kModelCode = 16;  // model index 5: 176 zones, units 1 to 511
constexpr int kZones = 176;
constexpr int kSystemZones = 39;  // zones 177 to 215 of the model's built-in table
constexpr int kUnits = 511;
// The model's audio ranges: sources are units 457 to 464, zones 473 to 508.
constexpr int kFirstAudioSourceUnit = 457, kAudioSources = 8;
constexpr int kFirstAudioZoneUnit = 473, kAudioZones = 36;
constexpr int kThermostats = 64;
constexpr int kSensors = 8;  // zones 1 to 8, added by the benchmark (no names list them)
constexpr int kMessages = 128;
// Texts per audio source: each a record of 4 + 1 + 1 + 12 bytes, acknowledged with 5 bytes.
constexpr int kTextsPerSource = 4;

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
// 4 + 1 + data bytes (zones 2, units 3, thermostats 7, sensors and audio zones 4); the message
// status exchange and the metadata walks as counted below.
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
  nlohmann::json thermostats = nlohmann::json::array(), thermostat_names = nlohmann::json::array();
  for (int t = 1; t <= kThermostats; ++t) {
    thermostats.push_back({{"number", t}, {"temperature", 120 + t % 20}, {"heat_setpoint", 120}});
    thermostat_names.push_back({{"number", t}, {"name", "STAT " + std::to_string(t)}});
  }
  nlohmann::json sensors = nlohmann::json::array();
  for (int z = 1; z <= kSensors; ++z) sensors.push_back({{"number", z}, {"temperature", 100 + z}});
  nlohmann::json messages = nlohmann::json::array(), message_names = nlohmann::json::array();
  for (int m = 1; m <= kMessages; ++m) {
    messages.push_back({{"number", m}, {"displayed", m % 3 == 0}});
    message_names.push_back({{"number", m}, {"name", "MESSAGE " + std::to_string(m)}});
  }
  nlohmann::json audio_zones = nlohmann::json::array(), audio_sources = nlohmann::json::array();
  for (int a = 1; a <= kAudioZones; ++a) audio_zones.push_back({{"number", a}, {"volume", a}});
  for (int a = 1; a <= kAudioSources; ++a) {
    audio_sources.push_back({{"number", a},
                             {"song_title", "SONG TITLE 0" + std::to_string(a)},
                             {"artist", "ARTIST NAME " + std::to_string(a)},
                             {"genre", "GENRE NAME 0" + std::to_string(a)},
                             {"album_name", "ALBUM NAME 0" + std::to_string(a)}});
  }
  nlohmann::json areas = nlohmann::json::array();
  for (int a = 1; a <= 8; ++a) areas.push_back({{"number", a}, {"mode", 0}});
  nlohmann::json doc = {
      {"controller",
       {{"model", kModelCode},
        {"access_code", "1234"},
        {"probe_ack", true},
        {"firmware", {{"major", 3}, {"minor", 2}, {"revision", 0}}}}},
      {"setup", {{"block_size", 250}, {"areas_in_use", 8}, {"audio_modules", {8}}}},
      {"objects",
       {{"zones", zones},
        {"units", units},
        {"areas", areas},
        {"thermostats", thermostats},
        {"temperature_sensors", sensors},
        {"messages", messages},
        {"audio_zones", audio_zones},
        {"audio_sources", audio_sources}}},
      {"names",
       {{"zones", zone_names},
        {"units", unit_names},
        {"thermostats", thermostat_names},
        {"messages", message_names}}},
  };
  return doc.dump();
}

// One pass per iteration: zones and units only, or every polled kind.
void RunModelPass(benchmark::State& state, bool all_kinds) {
  // A temporary instance directory, the shipped catalogue, the simulator on a pseudo-terminal;
  // the real clock.
  SimFixture fixture(0);
  RegisterServerClasses();
  RegisterModelClasses();

  sim::Scenario scenario;
  std::string error;
  if (Failed(sim::ParseScenario(LargeHouse(), &scenario, &error))) {
    state.SkipWithError(("scenario: " + error).c_str());
    return;
  }
  ComPtr<CZelServer> server = MakeObject<CZelServer>();
  if (Failed(fixture.Start(std::move(scenario))) ||
      Failed(server->put_CommunicationsHandler(fixture.NewSerialLink().get())) ||
      Failed(server->put_AccessCode(BStr("1234"))) || Failed(server->Start()) ||
      server->status() != ssInteractive) {
    state.SkipWithError("the server did not start against the simulator");
    return;
  }
  long rss = VmRssKib();

  auto collection = [&](int slot) {
    ComPtr<IDispatch> d;
    (void)server->GetCollection(slot, d.Receive());
    ComPtr<IZelCollection> c;
    (void)QueryAs<IZelCollection>(d.get(), &c);
    return c;
  };
  const int kSlots[] = {kSlotZones,    kSlotUnits,      kSlotThermostats, kSlotTemperatureSensors,
                        kSlotMessages, kSlotAudioZones, kSlotAudioSources};
  std::map<int, ComPtr<IZelCollection>> c;
  for (int slot : kSlots) {
    c[slot] = collection(slot);
    // Only this benchmark polls: the collections' own update threads are stopped.
    if (c[slot]) (void)c[slot]->StopUpdate();
  }
  // Temperature sensors are not named by the controller: the benchmark adds zones 1 to 8.
  for (int z = 1; z <= kSensors && c[kSlotTemperatureSensors]; ++z) {
    ComPtr<IDispatch> sensor;
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    (void)bag->Write("ID", Variant::I4(z));
    ComPtr<IPersistPropertyBag> persist;
    if (Failed(ClassRegistry::Instance().Create(kClsidZelTemperatureSensor, IDispatch::kIid,
                                                sensor.ReceiveVoid())) ||
        Failed(QueryAs<IPersistPropertyBag>(sensor.get(), &persist)) ||
        Failed(persist->Load(bag.get()))) {
      break;
    }
    (void)c[kSlotTemperatureSensors]->Add(Variant::Dispatch(sensor.get()), Variant::Missing());
  }
  std::map<int, int32_t> count;
  for (int slot : kSlots) {
    if (!c[slot] || Failed(c[slot]->get_Count(&count[slot]))) {
      state.SkipWithError("a collection is missing");
      return;
    }
  }
  if (count[kSlotUnits] != kUnits - kAudioSources - kAudioZones ||
      count[kSlotAudioSources] != kAudioSources || count[kSlotAudioZones] != kAudioZones ||
      count[kSlotThermostats] != kThermostats || count[kSlotMessages] != kMessages ||
      count[kSlotTemperatureSensors] != kSensors) {
    state.SkipWithError("the model lacks some of its objects");
    return;
  }

  int wire_bytes = 0;
  for (int z = 1; z <= count[kSlotZones]; ++z) wire_bytes += 7 + 7;
  for (int u = 1; u <= kUnits; ++u) {
    bool audio = (u >= kFirstAudioSourceUnit && u < kFirstAudioSourceUnit + kAudioSources) ||
                 (u >= kFirstAudioZoneUnit && u < kFirstAudioZoneUnit + kAudioZones);
    if (!audio) wire_bytes += (u < 256 ? 7 : 9) + 8;
  }
  int polls = count[kSlotZones] + count[kSlotUnits];
  std::vector<int> polled = {kSlotZones, kSlotUnits};
  if (all_kinds) {
    polled = {kSlotZones,    kSlotUnits,      kSlotThermostats, kSlotTemperatureSensors,
              kSlotMessages, kSlotAudioZones, kSlotAudioSources};
    wire_bytes += kThermostats * (7 + 12) + kSensors * (7 + 9) + (5 + 38) + kAudioZones * (7 + 9);
    // A walk: the request, a record and its acknowledge per text, then the end frame.
    wire_bytes += kAudioSources * (6 + kTextsPerSource * ((4 + 1 + 1 + 13) + 5) + 5);
    polls += kThermostats + kSensors + 1 + kAudioZones + kAudioSources;
  }

  double cpu_total = 0, wall_total = 0;
  for (auto _ : state) {
    double cpu0 = ThreadCpuMicros();
    auto start = std::chrono::steady_clock::now();
    bool failed = false;
    for (int slot : polled) failed |= c[slot]->Update(false, kAllElements) != S_OK;
    auto stop = std::chrono::steady_clock::now();
    double cpu = ThreadCpuMicros() - cpu0;
    if (failed) {
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
}

void BM_ZonesAndUnitsPass(benchmark::State& state) { RunModelPass(state, false); }
void BM_FullModelPass(benchmark::State& state) { RunModelPass(state, true); }
BENCHMARK(BM_ZonesAndUnitsPass)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_FullModelPass)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
