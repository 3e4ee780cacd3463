// Latency of a system event from the controller's queue to a client's event stream, against the
// simulator over a pseudo-terminal and the automation bridge, broken down into
//   poll      enqueue in the simulator -> the server's system events request arrives there
//   exchange  request arrives -> the server hands the event to FireEvent's sinks
//   delivery  sinks -> the SSE line read by a client of the bridge
// next to the server's own time per event (AddEvent with and without delivery, in process) and a
// bare request/reply on the same link, all in the same run.
//
//   build/bench/system_events_bench [--benchmark_min_time=1]
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "bridge/automation_bridge.h"
#include "bridge/client.h"
#include "events/system_events.h"
#include "link/request.h"
#include "link/serial_transport.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "server/recording_sink.h"
#include "server/zel_server.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

using Clock = std::chrono::steady_clock;
using bridge::Json;

// A code of a security event with the exit delay bit set: no refresh on the link.
constexpr uint16_t kCode = 0x8123;

class Rig {
 public:
  Rig() {
    RegisterServerClasses();
    RegisterModelClasses();
    RegisterSystemEventClasses();
    sim::Scenario scenario;
    std::string error;
    (void)sim::LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                                &scenario, &error);
    (void)fixture_.Start(std::move(scenario));
    // Before the server connects: nothing reaches the simulator until then.
    fixture_.sim().SetFrameObserver([this](const sim::Bytes& frame) {
      if (frame.size() > 2 && frame[2] == MSG_SYSTEM_EVENTS) {
        std::lock_guard<std::mutex> g(mu_);
        request_at_ = Clock::now();
      }
    });
    (void)ClassRegistry::Instance().Create<IZelServer>(kClsidZelServer, &server_);
    (void)server_->put_CommunicationsHandler(fixture_.NewSerialLink().get());
    (void)server_->put_AccessCode(BStr("1234"));
    started_ = server_->Start();

    // An in-process sink marks when the server delivers.
    ComPtr<IConnectionPointContainer> container;
    (void)server_.As(&container);
    ComPtr<IConnectionPoint> point;
    (void)container->FindConnectionPoint(kIidDZelServerEvents, point.Receive());
    uint32_t cookie = 0;
    (void)point->Advise(MakeObject<CallbackSink>([this] {
                          std::lock_guard<std::mutex> g(mu_);
                          delivered_at_ = Clock::now();
                          return S_OK;
                        }).get(),
                        &cookie);

    bridge::BridgeOptions options;
    options.unix_socket_path = fixture_.dir() + "/zelbridge.sock";
    options.tcp_port = -1;
    bridge_ = std::make_unique<bridge::AutomationBridge>(options);
    (void)bridge_->Start();
    client_options_.unix_socket_path = options.unix_socket_path;
    client_ = std::make_unique<bridge::BridgeClient>(client_options_);
    (void)client_->OpenSession();
    Json reply;
    (void)client_->Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply);
    (void)client_->Op({{"op", "advise"}, {"object", reply["result"]["object"]}}, &reply);
    watcher_ = std::thread([this] {
      (void)client_->Watch(
          [this](const Json& e) {
            if (e.value("member", "") == "OnSystemSecurityArming") {
              std::lock_guard<std::mutex> g(mu_);
              line_at_ = Clock::now();
              ++lines_;
              cv_.notify_all();
            }
            return true;
          },
          &stop_);
    });
  }

  ~Rig() {
    stop_ = true;
    if (watcher_.joinable()) watcher_.join();
    client_.reset();
    bridge_->Stop();
    bridge_.reset();
    (void)server_->Stop();
    server_.reset();
    ClassRegistry::Instance().ReleaseSingletons();
  }

  bool ok() const { return started_ == S_OK; }
  IZelServer* server() { return server_.get(); }
  ComPtr<CZelSystemEvents> events() {
    ComPtr<IDispatch> d;
    (void)server_->get_SystemEvents(d.Receive());
    return ComPtr<CZelSystemEvents>(
        static_cast<CZelSystemEvents*>(static_cast<IZelSystemEvents*>(d.get())));
  }

  // One event from the simulator's queue to the client's stream; false on a time-out.
  bool OneEvent(double* poll_ms, double* exchange_us, double* delivery_us) {
    std::unique_lock<std::mutex> g(mu_);
    uint64_t before = lines_;
    Clock::time_point enqueued = Clock::now();
    g.unlock();
    (void)fixture_.sim().ApplyControl(R"({"system_events":[33059]})");  // kCode
    g.lock();
    if (!cv_.wait_for(g, std::chrono::seconds(10), [&] { return lines_ > before; })) return false;
    *poll_ms = std::chrono::duration<double, std::milli>(request_at_ - enqueued).count();
    *exchange_us = std::chrono::duration<double, std::micro>(delivered_at_ - request_at_).count();
    *delivery_us = std::chrono::duration<double, std::micro>(line_at_ - delivered_at_).count();
    return true;
  }

  // A bare request/reply with the system events request on the same link.
  HRESULT BareExchange() {
    ComPtr<IDispatch> handler;
    (void)server_->get_CommunicationsHandler(handler.Receive());
    ComPtr<IZelCommHandler> link;
    (void)QueryAs<IZelCommHandler>(handler.get(), &link);
    static constexpr uint8_t kRequest[] = {0x5A, 0x01, MSG_SYSTEM_EVENTS, 0x81, 0x89};
    ReplyBuffer reply;
    return SendControllerRequest(link.get(), true, kRequest, sizeof kRequest, &reply);
  }

 private:
  SimFixture fixture_{0};  // the real clock; stops the simulator after everything below is gone
  ComPtr<IZelServer> server_;
  HRESULT started_ = E_FAIL;
  std::unique_ptr<bridge::AutomationBridge> bridge_;
  bridge::ClientOptions client_options_;
  std::unique_ptr<bridge::BridgeClient> client_;
  std::thread watcher_;
  std::atomic<bool> stop_{false};

  std::mutex mu_;
  std::condition_variable cv_;
  Clock::time_point request_at_, delivered_at_, line_at_;  // guarded by mu_
  uint64_t lines_ = 0;                                     // guarded by mu_
};

// One rig for the run, made by the first benchmark and ended by main.
Rig* g_rig = nullptr;
Rig* TheRig() {
  if (g_rig == nullptr) g_rig = new Rig();
  return g_rig;
}

// Enqueue to SSE line at the production interval (1000 ms): each iteration waits for a poll.
void BM_EnqueueToSseLine(benchmark::State& state) {
  Rig* rig = TheRig();
  if (!rig->ok()) {
    state.SkipWithError("the server did not start");
    return;
  }
  double poll = 0, exchange = 0, delivery = 0;
  for (auto _ : state) {
    double p = 0, x = 0, d = 0;
    if (!rig->OneEvent(&p, &x, &d)) {
      state.SkipWithError("no event within 10 s");
      return;
    }
    poll += p;
    exchange += x;
    delivery += d;
  }
  state.counters["poll_ms"] = benchmark::Counter(poll, benchmark::Counter::kAvgIterations);
  state.counters["exchange_us"] = benchmark::Counter(exchange, benchmark::Counter::kAvgIterations);
  state.counters["delivery_us"] = benchmark::Counter(delivery, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_EnqueueToSseLine)->Iterations(8)->UseRealTime()->Unit(benchmark::kMillisecond);

// The bare exchange on the same link (baseline of "exchange").
void BM_BareExchange(benchmark::State& state) {
  Rig* rig = TheRig();
  for (auto _ : state) benchmark::DoNotOptimize(rig->BareExchange());
}
BENCHMARK(BM_BareExchange)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The server's own time per event: classify, create, append, FireEvent to the in-process sink
// and the bridge session's sink (queued for the stream).
void BM_AddEventDelivered(benchmark::State& state) {
  Rig* rig = TheRig();
  ComPtr<CZelSystemEvents> events = rig->events();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        events->AddEvent(Variant::I4(kCode), Variant(), Variant(), Variant::Bool(true)));
  }
}
BENCHMARK(BM_AddEventDelivered)->Unit(benchmark::kMicrosecond);

// Baseline: the same without delivery.
void BM_AddEventSilent(benchmark::State& state) {
  Rig* rig = TheRig();
  ComPtr<CZelSystemEvents> events = rig->events();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        events->AddEvent(Variant::I4(kCode), Variant(), Variant(), Variant::Bool(false)));
  }
}
BENCHMARK(BM_AddEventSilent)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  delete zel::g_rig;
  benchmark::Shutdown();
  return 0;
}
