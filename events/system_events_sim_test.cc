// System events end to end: the simulator queues codes, the server (serial transport over a
// pseudo-terminal, the shipped house) polls them, and clients of the automation bridge that
// advised on the server see them: the right members in the right order, the zone refreshed
// before the event arrives, and under load every event once, in order, for every client that
// keeps up, while a client that does not gets EventsDropped and slows nobody.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "bridge/bridge_test_util.h"
#include "events/system_events.h"
#include "link/serial_transport.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/instance_paths.h"
#include "server/zel_server.h"
#include "sim/object_state.h"
#include "sim/simulator.h"
#include "testing/sim_fixture.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

using bridge::BridgeClient;
using bridge::Json;

class SystemEventsSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterServerClasses();
    RegisterModelClasses();
    RegisterSystemEventClasses();

    sim::Scenario scenario;
    std::string error;
    ASSERT_EQ(S_OK, sim::LoadScenarioFile(std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json",
                                          &scenario, &error))
        << error;
    ASSERT_EQ(S_OK, fixture_.Start(std::move(scenario)));
    // The one server, as the bridge's clients create it.
    ASSERT_EQ(S_OK, ClassRegistry::Instance().Create<IZelServer>(kClsidZelServer, &server_));
    ComPtr<CZelCommHandlerSerial> serial = MakeObject<CZelCommHandlerSerial>();
    ASSERT_EQ(S_OK, server_->put_CommunicationsHandler(serial.get()));
    ASSERT_EQ(S_OK, server_->put_AccessCode(BStr("1234")));
    ASSERT_EQ(S_OK, server_->Start());
    int32_t status = 0;
    ASSERT_EQ(S_OK, server_->get_Status(&status));
    ASSERT_EQ(ssInteractive, status);

    options_ = bridge::testing::TestBridgeOptions();
    // A stream whose client does not read stays open (the slow client below).
    options_.connection_timeout_seconds = 60;
    bridge_ = std::make_unique<bridge::AutomationBridge>(options_);
    ASSERT_EQ(S_OK, bridge_->Start());
  }

  void TearDown() override {
    if (bridge_) bridge_->Stop();
    bridge_.reset();
    if (server_) (void)server_->Stop();
    server_.reset();
    fixture_.sim().Stop();
    UnregisterCollectionSlot(kSlotSystemEvents);
    ClassRegistry::Instance().ReleaseSingletons();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(options_.unix_socket_path).parent_path(),
                                ignored);
  }

  bridge::ClientOptions ClientOptions() const {
    bridge::ClientOptions c;
    c.unix_socket_path = bridge_->unix_socket_path();
    c.timeout_ms = 20000;
    return c;
  }
  // A session with the server created and advised; the server's handle in *server.
  void Connect(BridgeClient* client, std::string* server) {
    ASSERT_EQ(S_OK, client->OpenSession());
    Json reply;
    ASSERT_EQ(S_OK, client->Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply));
    *server = reply["result"]["object"].get<std::string>();
    ASSERT_EQ(S_OK, client->Op({{"op", "advise"}, {"object", *server}}, &reply));
  }
  void SetInterval(uint32_t ms) {
    ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, server_->get_SystemEvents(d.Receive()));
    ComPtr<IZelCollection> c;
    ASSERT_EQ(S_OK, QueryAs<IZelCollection>(d.get(), &c));
    ASSERT_EQ(S_OK, c->put_UpdateInterval(Variant::UI4(ms)));
  }
  void Enqueue(const std::vector<uint16_t>& codes) {
    Json list = Json::array();
    for (uint16_t c : codes) list.push_back(c);
    ASSERT_NE(
        std::string::npos,
        fixture_.sim().ApplyControl(Json{{"system_events", list}}.dump()).find("\"ok\":true"));
  }
  static int32_t CodeOf(const Json& event) {
    return event["arguments"][0]["properties"]["Code"]["value"].get<int32_t>();
  }

  SimFixture fixture_{1};  // production waits at their own length
  ComPtr<IZelServer> server_;
  bridge::BridgeOptions options_;
  std::unique_ptr<bridge::AutomationBridge> bridge_;
};

TEST_F(SystemEventsSimTest, ZoneEventArrivesWithTheZoneAlreadyRefreshed) {
  BridgeClient client(ClientOptions());
  std::string server;
  Connect(&client, &server);
  // Handlers for the general and the zone member, besides the sink.
  for (const char* member : {"OnSystemEvent", "OnSystemZoneStatusChange"}) {
    Json reply;
    ASSERT_EQ(S_OK, client.Op({{"op", "callback"}, {"name", member}}, &reply));
    ASSERT_EQ(
        S_OK,
        client.Op(
            {{"op", "put"}, {"object", server}, {"member", member}, {"value", reply["result"]}},
            &reply));
  }
  Json zone;
  ASSERT_EQ(S_OK, client.Op({{"op", "call"}, {"object", server}, {"member", "Zones"}}, &zone));
  ASSERT_EQ(
      S_OK,
      client.Op(
          {{"op", "call"}, {"object", zone["result"]["object"]}, {"member", "Item"}, {"args", {2}}},
          &zone));
  const std::string zone_handle = zone["result"]["object"];
  // The controller sees zone 2 open, and queues its event; the server polls every 50 ms.
  fixture_.sim().WithState([](sim::SimState& s) { sim::Objects(s).zones[2].status = 0x01; });
  SetInterval(50);
  Enqueue({0x0602});

  std::vector<Json> events;
  int32_t condition_seen = -1;
  BridgeClient reader(ClientOptions());
  reader.set_session(client.session());
  ASSERT_EQ(S_OK, client.Watch([&](const Json& e) {
    events.push_back(e);
    if (e["member"] == "OnSystemZoneStatusChange" && e["interface"] != "callback") {
      // Read as the event arrives: the state is already the new one.
      Json r;
      EXPECT_EQ(S_OK, reader.Op({{"op", "get"},
                                 {"object", e["arguments"][0]["properties"]["Zone"]["object"]},
                                 {"member", "CurrCondition"}},
                                &r));
      condition_seen = r["result"]["value"].get<int32_t>();
    }
    return events.size() < 4;
  }));
  ASSERT_EQ(4u, events.size());
  // Handlers first (general, then zone), then the sinks in the same order.
  EXPECT_EQ("callback", events[0]["interface"]);
  EXPECT_EQ("OnSystemEvent", events[0]["member"]);
  EXPECT_EQ("callback", events[1]["interface"]);
  EXPECT_EQ("OnSystemZoneStatusChange", events[1]["member"]);
  EXPECT_EQ("_DZelServerEvents", events[2]["interface"]);
  EXPECT_EQ("OnSystemEvent", events[2]["member"]);
  EXPECT_EQ("_DZelServerEvents", events[3]["interface"]);
  EXPECT_EQ("OnSystemZoneStatusChange", events[3]["member"]);
  const Json& p = events[3]["arguments"][0]["properties"];
  EXPECT_EQ(17, p["Type"]["value"]);
  EXPECT_EQ(0x0602, p["Code"]["value"]);
  EXPECT_EQ(1, p["State"]["value"]);
  EXPECT_EQ(zone_handle, p["Zone"]["object"]);
  EXPECT_EQ("BACK DOOR", p["Zone"]["name"]);
  EXPECT_EQ(1, condition_seen);
}

// 1,000 events while 4 clients watch: each client gets every one, in order, once. A fifth that
// reads slowly is told what it lost and holds up nobody.
TEST_F(SystemEventsSimTest, NoEventIsLostOrRepeatedUnderLoad) {
  constexpr int kEvents = 1000;
  constexpr int kClients = 4;
  std::vector<uint16_t> codes;
  // Security events of distinct codes, with the exit delay bit set (no refresh on the link).
  for (int i = 0; i < kEvents; ++i) codes.push_back(static_cast<uint16_t>(0x8000 + i));

  std::vector<std::unique_ptr<BridgeClient>> clients;
  for (int i = 0; i < kClients + 1; ++i) {
    clients.push_back(std::make_unique<BridgeClient>(ClientOptions()));
    std::string server;
    Connect(clients.back().get(), &server);
  }
  std::vector<std::vector<int32_t>> general(kClients), specific(kClients);
  std::vector<int> dropped_notices(kClients, 0);
  std::vector<std::chrono::steady_clock::time_point> finished(kClients);
  std::vector<std::thread> watchers;
  for (int i = 0; i < kClients; ++i) {
    watchers.emplace_back([&, i] {
      (void)clients[i]->Watch([&](const Json& e) {
        if (e["member"] == "EventsDropped") ++dropped_notices[i];
        if (e["member"] == "OnSystemEvent") general[i].push_back(CodeOf(e));
        if (e["member"] == "OnSystemSecurityArming") specific[i].push_back(CodeOf(e));
        bool more = specific[i].size() < static_cast<size_t>(kEvents);
        if (!more) finished[i] = std::chrono::steady_clock::now();
        return more;
      });
    });
  }
  // The slow client opens its stream and reads nothing until the others are done.
  bridge::testing::RawConnection slow(bridge_->unix_socket_path());
  ASSERT_TRUE(slow.Send("GET /api/v1/events?session=" + clients[kClients]->session() +
                        " HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  ASSERT_TRUE(bridge::testing::WaitFor([&] { return bridge_->stream_count() == kClients + 1; },
                                       std::chrono::milliseconds(10000)));
  SetInterval(20);
  auto start = std::chrono::steady_clock::now();
  Enqueue(codes);
  for (std::thread& t : watchers) t.join();
  std::vector<int32_t> expected(codes.begin(), codes.end());
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(expected, general[i]) << "client " << i;
    EXPECT_EQ(expected, specific[i]) << "client " << i;
    EXPECT_EQ(0, dropped_notices[i]) << "client " << i;
  }
  // The slow client's queue overflowed while it did not read: it is told how many it lost.
  std::string backlog = slow.ReadUntil("EventsDropped", std::chrono::milliseconds(20000));
  EXPECT_NE(std::string::npos, backlog.find("\"member\":\"EventsDropped\"")) << backlog.size();
  // Nobody waited for it: every fast client was done within a few polls per frame of codes.
  for (int i = 0; i < kClients; ++i) {
    EXPECT_LT(finished[i] - start, std::chrono::seconds(30)) << i;
  }
}

}  // namespace
}  // namespace zel
