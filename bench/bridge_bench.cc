// The bridge's cost per request: property reads through the bridge over its Unix socket and over
// loopback TCP with a bearer token, next to a bare request to the same HTTP library on a Unix
// socket, in the same run: the median and 99th-percentile latency and the requests per second,
// with one client and with four concurrent clients; the run ends with a table of those figures
// and the bridge/bare ratios. The front door's own work per request (peer credentials and the
// role lookup on the socket; Host, token hash and lookup on TCP) is also timed alone, as
// "door-unix" and "door-tcp".
//
//   build/bench/bridge_bench [--benchmark_min_time=2]
#include <benchmark/benchmark.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/automation_bridge.h"
#include "bridge/client.h"
#include "bridge/fake_server.h"
#include "bridge/front_door.h"
#include "bridge/http_front_end.h"
#include "testing/temp_dir.h"

namespace zel::bridge {
namespace {

// ---- The bare server: the same library answering a fixed reply at once ---------------------

constexpr char kBareReply[] =
    "{\"result\":{\"value\":\"fake\",\"vt\":8},\"status\":\"00000000\",\"statusName\":\"S_OK\"}\n";

MHD_Result BareHandler(void*, MHD_Connection* connection, const char*, const char*, const char*,
                       const char*, size_t* upload_size, void** req_cls) {
  static int marker;
  if (*req_cls == nullptr) {
    *req_cls = &marker;
    return MHD_YES;
  }
  if (*upload_size > 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  MHD_Response* r = MHD_create_response_from_buffer(
      sizeof kBareReply - 1, const_cast<char*>(kBareReply), MHD_RESPMEM_PERSISTENT);
  MHD_add_response_header(r, "Content-Type", "application/json");
  MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return result;
}

struct Servers {
  zel::TempDir temp{"bridge_bench"};
  const std::string dir = temp.path();
  std::unique_ptr<AutomationBridge> bridge;
  MHD_Daemon* bare = nullptr;
  int bare_fd = -1;
  std::string bare_path;
  std::string token;

  Servers() {
    testing::RegisterFakeServer();
    BridgeOptions o;
    o.unix_socket_path = dir + "/zelbridge.sock";
    o.tcp_port = 0;
    o.token_store_path = dir + "/" + kTokenFileName;
    TokenStore store(o.token_store_path);
    if (Failed(store.Add("bench", Role::kRead, &token))) std::abort();
    bridge = std::make_unique<AutomationBridge>(o);
    if (Failed(bridge->Start())) std::abort();
    bare_path = dir + "/bare.sock";
    if (Failed(ListenUnix(bare_path, &bare_fd))) std::abort();
    bare =
        MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr,
                         &BareHandler, nullptr, MHD_OPTION_LISTEN_SOCKET, bare_fd, MHD_OPTION_END);
    if (bare == nullptr) std::abort();
  }
  ~Servers() {
    MHD_stop_daemon(bare);
    bridge->Stop();
  }
};

Servers* g_servers = nullptr;  // made by the first benchmark, removed by main at the end

Servers& TheServers() {
  if (g_servers == nullptr) g_servers = new Servers();
  return *g_servers;
}

// ---- Latency bookkeeping --------------------------------------------------------------------

std::mutex g_mu;
// Per configuration ("bridge/4"), the figures of its last (longest) run: the benchmark library
// runs each configuration several times while it settles the iteration count.
struct RunFigures {
  benchmark::IterationCount iterations = 0;
  std::vector<double> latencies_us;  // every request of every thread
  double requests_per_second = 0;    // summed over the threads
};
std::map<std::string, RunFigures> g_runs;  // guarded by g_mu

void Record(benchmark::State& state, const std::string& key, std::vector<double> mine,
            double seconds) {
  state.SetItemsProcessed(static_cast<int64_t>(mine.size()));
  std::lock_guard<std::mutex> g(g_mu);
  RunFigures& run = g_runs[key];
  if (state.max_iterations < run.iterations) return;
  if (state.max_iterations > run.iterations) run = RunFigures{state.max_iterations, {}, 0};
  run.requests_per_second += seconds > 0 ? static_cast<double>(mine.size()) / seconds : 0;
  run.latencies_us.insert(run.latencies_us.end(), mine.begin(), mine.end());
}

template <class Fn>
void Measure(benchmark::State& state, const std::string& key, Fn&& one_request) {
  std::vector<double> mine;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    if (!one_request()) {
      state.SkipWithError("request failed");
      break;
    }
    mine.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Record(state, key + "/" + std::to_string(state.threads()), std::move(mine), seconds);
}

// ---- The benchmarks -------------------------------------------------------------------------

void BM_BridgePropertyRead(benchmark::State& state) {
  Servers& s = TheServers();
  ClientOptions o;
  o.unix_socket_path = s.bridge->unix_socket_path();
  BridgeClient client(o);
  Json reply;
  if (Failed(client.OpenSession()) ||
      Failed(client.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply))) {
    state.SkipWithError("no session");
    return;
  }
  const Json request{{"op", "get"}, {"object", reply["result"]["object"]}, {"member", "Name"}};
  Measure(state, "bridge", [&] { return client.Op(request, &reply) == S_OK; });
}

void BM_BridgeTcpTokenRead(benchmark::State& state) {
  Servers& s = TheServers();
  ClientOptions o;
  o.tcp_port = s.bridge->tcp_port();
  o.bearer_token = s.token;
  BridgeClient client(o);
  Json reply;
  if (Failed(client.OpenSession()) ||
      Failed(client.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply))) {
    state.SkipWithError("no session");
    return;
  }
  const Json request{{"op", "get"}, {"object", reply["result"]["object"]}, {"member", "Name"}};
  Measure(state, "bridge-tcp", [&] { return client.Op(request, &reply) == S_OK; });
}

// The front door alone, as each request pays it.
void BM_DoorUnix(benchmark::State& state) {
  Servers& s = TheServers();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  FrontDoor door(AccessPolicy{}, std::make_shared<TokenStore>(s.dir + "/" + kTokenFileName));
  RequestFacts facts;
  facts.fd = fds[0];
  Caller caller;
  std::string why;
  Measure(state, "door-unix", [&] { return door.Admit(facts, &caller, &why) == S_OK; });
  close(fds[0]);
  close(fds[1]);
}

void BM_DoorTcp(benchmark::State& state) {
  Servers& s = TheServers();
  FrontDoor door(AccessPolicy{}, std::make_shared<TokenStore>(s.dir + "/" + kTokenFileName));
  door.set_tcp_port(8714);
  const std::string authorization = "Bearer " + s.token;
  RequestFacts facts;
  facts.tcp = true;
  facts.authorization = authorization;
  facts.host = "127.0.0.1:8714";
  Caller caller;
  std::string why;
  Measure(state, "door-tcp", [&] { return door.Admit(facts, &caller, &why) == S_OK; });
}

void BM_BareRequest(benchmark::State& state) {
  Servers& s = TheServers();
  ClientOptions o;
  o.unix_socket_path = s.bare_path;
  BridgeClient client(o);
  // The same body size as the bridge's request, so only the work behind the socket differs.
  const std::string body = Json{{"op", "get"}, {"object", "h1"}, {"member", "Name"}}.dump();
  std::string reply;
  long http = 0;
  Measure(state, "bare", [&] {
    return client.Post(body, "0123456789abcdef0123456789abcdef", &http, &reply) == S_OK &&
           http == 200;
  });
}

BENCHMARK(BM_BareRequest)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_BridgePropertyRead)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_BridgeTcpTokenRead)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_DoorUnix)->Threads(1)->UseRealTime();
BENCHMARK(BM_DoorTcp)->Threads(1)->UseRealTime();

}  // namespace
}  // namespace zel::bridge

// Runs the benchmarks, then prints the per-configuration latency figures and the ratios.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  using namespace zel::bridge;
  std::lock_guard<std::mutex> g(g_mu);
  std::map<std::string, double> medians, rates;
  std::printf("\n%-10s %8s %10s %10s %12s\n", "server", "clients", "p50_us", "p99_us", "req_per_s");
  for (const char* kind : {"bare", "bridge", "bridge-tcp", "door-unix", "door-tcp"}) {
    for (int threads : {1, 4}) {
      std::string key = std::string(kind) + "/" + std::to_string(threads);
      auto& all = g_runs[key].latencies_us;
      if (all.empty()) continue;
      std::sort(all.begin(), all.end());
      double p50 = all[all.size() / 2];
      double p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
      medians[key] = p50;
      rates[key] = g_runs[key].requests_per_second;
      std::printf("%-10s %8d %10.1f %10.1f %12.0f\n", kind, threads, p50, p99, rates[key]);
    }
  }
  for (int threads : {1, 4}) {
    std::string n = std::to_string(threads);
    if (medians.count("bare/" + n) && medians.count("bridge/" + n) && rates["bridge/" + n] > 0) {
      std::printf("bridge/bare, %d client(s): median latency x%.2f, throughput x%.2f\n", threads,
                  medians["bridge/" + n] / medians["bare/" + n],
                  rates["bridge/" + n] / rates["bare/" + n]);
    }
  }
  delete g_servers;
  benchmark::Shutdown();
  return 0;
}
