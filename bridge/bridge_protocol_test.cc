// The bridge from outside: real HTTP over the Unix socket and loopback TCP against the fake
// server classes, grouped by feature: operations, variants, events, bad input, misbehaving
// clients, load, and session lifetime.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "bridge/bridge_test_util.h"
#include "bridge/fake_server.h"
#include "bridge/protocol.h"

namespace zel::bridge::testing {
namespace {

using std::chrono::milliseconds;

class BridgeTest : public ::testing::Test {
 protected:
  void Start(BridgeOptions options = TestBridgeOptions()) {
    server_ = std::make_unique<TestBridge>(std::move(options));
    ASSERT_EQ(S_OK, server_->start_status());
    client_ = std::make_unique<BridgeClient>(server_->UnixClient());
    ASSERT_EQ(S_OK, client_->OpenSession());
  }
  void SetUp() override {}

  // Runs one operation; returns the body, and the HTTP status through *http.
  Json Op(const Json& request, long* http = nullptr) {
    Json reply;
    long status = 0;
    (void)client_->Op(request, &reply, &status);
    if (http) *http = status;
    return reply;
  }
  std::string Create(const std::string& cls = "Test.Server") {
    Json r = Op({{"op", "create"}, {"class", cls}});
    EXPECT_EQ("00000000", r["status"]) << r.dump();
    return r["result"]["object"].get<std::string>();
  }
  Json Get(const std::string& h, const std::string& member, Json args = Json::array()) {
    return Op({{"op", "get"}, {"object", h}, {"member", member}, {"args", args}});
  }
  Json Call(const std::string& h, const std::string& member, Json args = Json::array()) {
    return Op({{"op", "call"}, {"object", h}, {"member", member}, {"args", args}});
  }
  // Raw POST with no session header; returns the HTTP status and the parsed body.
  long RawPost(const std::string& body, Json* reply, const std::string& session = "") {
    long http = 0;
    std::string text;
    EXPECT_EQ(S_OK, client_->Post(body, session, &http, &text));
    *reply = Json::parse(text, nullptr, false);
    return http;
  }
  void ExpectRefused(long http, const Json& reply, long want_http, HRESULT want) {
    EXPECT_EQ(want_http, http) << reply.dump();
    ASSERT_TRUE(reply.is_object()) << reply.dump();
    EXPECT_EQ(StatusText(want), reply["status"]) << reply.dump();
    EXPECT_TRUE(reply.contains("error")) << reply.dump();
  }

  std::unique_ptr<TestBridge> server_;
  std::unique_ptr<BridgeClient> client_;
};

// ---- Operations -----------------------------------------------------------------------------

TEST_F(BridgeTest, CreateGetPutCallOverUnixSocket) {
  Start();
  std::string h = Create();
  Json r = Get(h, "Name");
  EXPECT_EQ((Json{{"vt", 8}, {"value", "fake"}}), r["result"]);
  r = Op({{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "renamed"}});
  EXPECT_EQ("00000000", r["status"]);
  EXPECT_FALSE(r.contains("result"));
  EXPECT_EQ("renamed", Get(h, "Name")["result"]["value"]);
  // By dispid as well as by name.
  r = Op({{"op", "get"}, {"object", h}, {"dispid", 1}});
  EXPECT_EQ("renamed", r["result"]["value"]);
  EXPECT_EQ((Json{{"vt", 3}, {"value", 14}}), Call(h, "Scale", {7})["result"]);
}

TEST_F(BridgeTest, BatchRunsItsOperationsInOrderAndAnswersEachOnItsOwn) {
  Start();
  std::string h = Create();
  long http = 0;
  Json r = Op({{"op", "batch"},
               {"ops",
                {{{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "batched"}},
                 {{"op", "get"}, {"object", h}, {"member", "Name"}},
                 {{"op", "call"}, {"object", h}, {"member", "Sum"}, {"args", {1, 2}}},
                 {{"op", "get"}, {"object", h}, {"member", "Colour"}},
                 {{"op", "call"}, {"object", h}, {"member", "Fail"}},
                 {{"op", "session"}},
                 {{"op", "batch"}, {"ops", Json::array()}},
                 "not an object",
                 {{"op", "get"}, {"object", h}, {"member", "Zones"}}}}},
              &http);
  ASSERT_EQ(200, http) << r.dump();
  EXPECT_EQ("00000000", r["status"]);
  const Json& replies = r["replies"];
  ASSERT_EQ(9u, replies.size()) << r.dump();
  EXPECT_EQ("00000000", replies[0]["status"]);
  EXPECT_EQ(200, replies[0]["http"]);
  // In order: the put before it is what the get reads.
  EXPECT_EQ("batched", replies[1]["result"]["value"]);
  EXPECT_EQ(3, replies[2]["result"]["value"]);
  EXPECT_EQ(404, replies[3]["http"]);
  EXPECT_EQ(StatusText(DISP_E_UNKNOWNNAME), replies[3]["status"]);
  // A member that ran and failed is a 200 with its code, and the batch goes on.
  EXPECT_EQ(200, replies[4]["http"]);
  EXPECT_NE("00000000", replies[4]["status"]);
  for (size_t i : {5u, 6u, 7u}) {
    EXPECT_EQ(400, replies[i]["http"]) << i;
    EXPECT_EQ(StatusText(E_BRIDGE_BAD_REQUEST), replies[i]["status"]) << i;
  }
  // Objects get the session's handles, as on their own.
  std::string zones = replies[8]["result"]["object"];
  EXPECT_EQ(zones, Get(h, "Zones")["result"]["object"]);

  // A batch that is no list, or too long, is refused whole.
  Op({{"op", "batch"}, {"ops", "get"}}, &http);
  EXPECT_EQ(400, http);
  Json many = Json::array();
  for (size_t i = 0; i <= kMaxBatchOps; ++i) many.push_back(Json::object());
  r = Op({{"op", "batch"}, {"ops", many}}, &http);
  ExpectRefused(http, r, 400, E_BRIDGE_BAD_REQUEST);
}

TEST_F(BridgeTest, BatchedOperationsKeepTheCallersRole) {
  Start();
  BridgeClient reader(server_->TcpClient(Role::kRead));
  ASSERT_EQ(S_OK, reader.OpenSession());
  Json reply;
  ASSERT_EQ(S_OK, reader.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply));
  std::string h = reply["result"]["object"];
  ASSERT_EQ(S_OK, reader.Op({{"op", "batch"},
                             {"ops",
                              {{{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "x"}},
                               {{"op", "get"}, {"object", h}, {"member", "Name"}}}}},
                            &reply));
  EXPECT_EQ(403, reply["replies"][0]["http"]);
  EXPECT_EQ(StatusText(E_ACCESSDENIED), reply["replies"][0]["status"]);
  EXPECT_EQ("fake", reply["replies"][1]["result"]["value"]);
}

TEST_F(BridgeTest, SameOperationsOverLoopbackTcp) {
  Start();
  BridgeClient tcp(server_->TcpClient());
  ASSERT_EQ(S_OK, tcp.OpenSession());
  Json reply;
  ASSERT_EQ(S_OK, tcp.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply));
  std::string h = reply["result"]["object"];
  ASSERT_EQ(S_OK,
            tcp.Op({{"op", "call"}, {"object", h}, {"member", "Sum"}, {"args", {1, 2}}}, &reply));
  EXPECT_EQ(3, reply["result"]["value"]);
  // Handles belong to the session that received them: the Unix session holds none.
  long http = 0;
  Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &http);
  EXPECT_EQ(404, http);
  EXPECT_EQ(S_OK, tcp.CloseSession());
}

TEST_F(BridgeTest, OptionalArgumentsMayBeOmittedOrMarkedMissing) {
  Start();
  std::string h = Create();
  EXPECT_EQ(15, Call(h, "Sum", {5})["result"]["value"]);
  EXPECT_EQ(11, Call(h, "Sum", {5, 6})["result"]["value"]);
  EXPECT_EQ(15, Call(h, "Sum", {5, {{"vt", 10}, {"value", "80020004"}}})["result"]["value"]);
}

TEST_F(BridgeTest, ObjectResultsGetStableHandles) {
  Start();
  std::string h = Create();
  Json zones = Get(h, "Zones")["result"];
  EXPECT_EQ(9, zones["vt"]);
  EXPECT_EQ("CZelZones", zones["class"]);
  std::string zh = zones["object"];
  EXPECT_EQ(zh, Get(h, "Zones")["result"]["object"]) << "same object, same handle";
  Json zone = Call(zh, "Item", {2})["result"];
  EXPECT_EQ("CZelTestElement", zone["class"]);
  EXPECT_EQ("Garage", Get(zone["object"], "Name")["result"]["value"]);
  // Released handles are unknown afterwards; a new read gives a new handle.
  EXPECT_EQ("00000000", Op({{"op", "release"}, {"object", zh}})["status"]);
  long http = 0;
  Op({{"op", "get"}, {"object", zh}, {"member", "Count"}}, &http);
  EXPECT_EQ(404, http);
  EXPECT_NE(zh, Get(h, "Zones")["result"]["object"]);
}

TEST_F(BridgeTest, FailureCarriesErrorInformation) {
  Start();
  std::string h = Create();
  long http = 0;
  Json r = Op({{"op", "call"}, {"object", h}, {"member", "Fail"}}, &http);
  EXPECT_EQ(200, http) << "the member ran; its failure is in the body";
  EXPECT_EQ("80004005", r["status"]);
  EXPECT_EQ("Test.Server", r["error"]["source"]);
  EXPECT_EQ("the fake always fails here", r["error"]["description"]);
  // The next request on the same worker does not see stale information.
  r = Call(h, "Scale", {1});
  EXPECT_FALSE(r.contains("error"));
}

TEST_F(BridgeTest, DescribeListsMembersWithTheirAccessors) {
  Start();
  std::string h = Create();
  Json r = Op({{"op", "describe"}, {"object", h}});
  EXPECT_EQ("CZelTestServer", r["class"]);
  bool found_sum = false;
  for (const Json& m : r["members"]) {
    if (m["name"] == "Sum") {
      found_sum = true;
      EXPECT_EQ("call", m["accessors"][0]["kind"]);
      EXPECT_EQ(false, m["accessors"][0]["params"][0]["optional"]);
      EXPECT_EQ(true, m["accessors"][0]["params"][1]["optional"]);
    }
  }
  EXPECT_TRUE(found_sum);
}

// ---- Variants on the wire -------------------------------------------------------------------

TEST_F(BridgeTest, ResultsCarryTheirTypeTags) {
  Start();
  std::string h = Create();
  EXPECT_EQ((Json{{"vt", 5}, {"value", 0.5}}), Get(h, "Ratio")["result"]);
  EXPECT_EQ((Json{{"vt", 11}, {"value", true}}), Get(h, "Enabled")["result"]);
  EXPECT_EQ((Json{{"vt", 7}, {"value", 45000.75}}), Get(h, "When")["result"]);
  EXPECT_EQ((Json{{"vt", 8}, {"value", nullptr}}), Get(h, "NullText")["result"]);
  EXPECT_EQ((Json{{"vt", 19}, {"value", 0}}), Get(h, "Counter")["result"]);
  EXPECT_EQ((Json{{"vt", 0x2011}, {"value", {0x5A, 1, 5}}}), Get(h, "Bytes")["result"]);
  Json mixed = Get(h, "Mixed")["result"];
  EXPECT_EQ(0x200C, mixed["vt"]);
  EXPECT_EQ((Json{{"vt", 3}, {"value", 7}}), mixed["value"][0]);
  EXPECT_EQ((Json{{"vt", 8}, {"value", "seven"}}), mixed["value"][1]);
  EXPECT_EQ("CZelZones", mixed["value"][2]["class"]);
}

TEST_F(BridgeTest, ArgumentsRoundTripThroughEcho) {
  Start();
  std::string h = Create();
  std::string zones = Get(h, "Zones")["result"]["object"];
  const Json cases[] = {
      {{"vt", 2}, {"value", -5}},
      {{"vt", 17}, {"value", 255}},
      {{"vt", 20}, {"value", 1LL << 40}},
      {{"vt", 8}, {"value", nullptr}},
      {{"vt", 8}, {"value", "h\u00e9llo"}},
      {{"vt", 11}, {"value", false}},
      {{"vt", 10}, {"value", "80004005"}},
      {{"vt", 1}},
      {{"vt", 9}, {"object", zones}, {"class", "CZelZones"}},
      {{"vt", 0x2008}, {"value", {"a", "b"}}},
  };
  for (const Json& c : cases) {
    EXPECT_EQ(c, Call(h, "Echo", {c})["result"]) << c.dump();
  }
  // Shorthand: plain JSON gets the natural tag.
  EXPECT_EQ((Json{{"vt", 3}, {"value", 5}}), Call(h, "Echo", {5})["result"]);
  EXPECT_EQ((Json{{"vt", 20}, {"value", 1LL << 40}}), Call(h, "Echo", {1LL << 40})["result"]);
  EXPECT_EQ((Json{{"vt", 5}, {"value", 2.5}}), Call(h, "Echo", {2.5})["result"]);
  EXPECT_EQ((Json{{"vt", 11}, {"value", true}}), Call(h, "Echo", {true})["result"]);
  EXPECT_EQ((Json{{"vt", 1}}), Call(h, "Echo", {nullptr})["result"]);
  EXPECT_EQ(0x200C, Call(h, "Echo", {Json::array({1, "x"})})["result"]["vt"]);
}

// ---- Events ---------------------------------------------------------------------------------

// Collects events from a session's stream on a thread of its own.
class Watcher {
 public:
  explicit Watcher(const ClientOptions& options, const std::string& session) : client_(options) {
    client_.set_session(session);
    thread_ = std::thread([this] {
      result_ = client_.Watch(
          [this](const Json& e) {
            std::lock_guard<std::mutex> g(mu_);
            events_.push_back(e);
            return true;
          },
          &stop_);
      client_.set_session("");  // the test's own client closes the session
    });
  }
  ~Watcher() {
    stop_ = true;
    thread_.join();
  }
  std::vector<Json> WaitCount(size_t n) {
    WaitFor(
        [&] {
          std::lock_guard<std::mutex> g(mu_);
          return events_.size() >= n;
        },
        milliseconds(5000));
    std::lock_guard<std::mutex> g(mu_);
    return events_;
  }

 private:
  BridgeClient client_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Json> events_;
  HRESULT result_ = S_OK;
  std::thread thread_;
};

TEST_F(BridgeTest, SinkEventsArriveInOrderWithMemberNames) {
  Start();
  std::string h = Create();
  Json r = Op({{"op", "advise"}, {"object", h}});
  ASSERT_EQ("00000000", r["status"]) << r.dump();
  EXPECT_EQ("_DTestEvents", r["interface"]);
  EXPECT_EQ(1, Get(h, "EventConnections")["result"]["value"]);
  Watcher w(server_->UnixClient(), client_->session());
  ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(3000)));
  Call(h, "FireTicks", {5});
  auto events = w.WaitCount(5);
  ASSERT_EQ(5u, events.size());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ("_DTestEvents", events[i]["interface"]);
    EXPECT_EQ("OnTick", events[i]["member"]);
    EXPECT_EQ(h, events[i]["source"]);
    EXPECT_EQ((Json{{"vt", 3}, {"value", i + 1}}), events[i]["arguments"][0]);
    if (i > 0) {
      EXPECT_LT(events[i - 1]["seq"], events[i]["seq"]);
    }
  }
  EXPECT_EQ("00000000", Op({{"op", "unadvise"}, {"object", h}, {"cookie", r["cookie"]}})["status"]);
  EXPECT_EQ(0, Get(h, "EventConnections")["result"]["value"]);
}

TEST_F(BridgeTest, CallbackHandlerInvocationsBecomeEventsBeforeSinkEvents) {
  Start();
  std::string h = Create();
  Json cb = Op({{"op", "callback"}, {"name", "OnStatus"}});
  ASSERT_EQ("00000000", cb["status"]);
  EXPECT_EQ("BridgeCallback", cb["result"]["class"]);
  Json r = Op({{"op", "put"}, {"object", h}, {"member", "OnStatus"}, {"value", cb["result"]}});
  ASSERT_EQ("00000000", r["status"]) << r.dump();
  Op({{"op", "advise"}, {"object", h}});
  // Events fired before any stream is open wait in the backlog.
  Call(h, "FireStatus", {16});
  Watcher w(server_->UnixClient(), client_->session());
  auto events = w.WaitCount(2);
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ("callback", events[0]["interface"]);
  EXPECT_EQ("OnStatus", events[0]["member"]);
  EXPECT_EQ(cb["result"]["object"], events[0]["source"]);
  EXPECT_EQ((Json{{"vt", 3}, {"value", 16}}), events[0]["arguments"][0]);
  EXPECT_EQ("OnStatusChange", events[1]["member"]);
  // A non-object value for the handler property is the object's own refusal.
  r = Op({{"op", "put"}, {"object", h}, {"member", "OnStatus"}, {"value", 5}});
  EXPECT_EQ("8000FFFF", r["status"]);
}

TEST_F(BridgeTest, ObjectArgumentsOfEventsAreUsableHandles) {
  Start();
  std::string h = Create();
  Op({{"op", "advise"}, {"object", h}});
  Call(h, "FireObject");
  Watcher w(server_->UnixClient(), client_->session());
  auto events = w.WaitCount(1);
  ASSERT_EQ(1u, events.size());
  Json arg = events[0]["arguments"][0];
  EXPECT_EQ("CZelTestElement", arg["class"]);
  EXPECT_EQ("event object", Get(arg["object"], "Name")["result"]["value"]);
  // The object comes with its properties, read when the event was written; methods are left
  // out.
  ASSERT_TRUE(arg.contains("properties")) << arg.dump();
  EXPECT_EQ((Json{{"vt", 8}, {"value", "event object"}}), arg["properties"]["Name"]);
  for (const auto& [name, value] : arg["properties"].items()) {
    EXPECT_TRUE(value.is_object() && value.contains("vt")) << name;
  }
  EXPECT_EQ((Json{{"vt", 3}, {"value", 70}}), arg["properties"]["HeatSetpointF"]);
  EXPECT_FALSE(arg["properties"].contains("Arm"));
}

TEST_F(BridgeTest, FullQueueDropsOldestAndCountsThem) {
  BridgeOptions o = TestBridgeOptions();
  o.sessions.event_queue_limit = 4;
  Start(o);
  std::string h = Create();
  Op({{"op", "advise"}, {"object", h}});
  Call(h, "FireTicks", {10});
  Watcher w(server_->UnixClient(), client_->session());
  auto events = w.WaitCount(5);
  ASSERT_EQ(5u, events.size());
  EXPECT_EQ("bridge", events[0]["interface"]);
  EXPECT_EQ("EventsDropped", events[0]["member"]);
  EXPECT_EQ(6, events[0]["arguments"][0]["value"]);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(6 + i, events[i]["arguments"][0]["value"]);
}

// ---- Bad input ------------------------------------------------------------------------------

TEST_F(BridgeTest, MalformedRequestsAreRefusedWith400) {
  Start();
  Json r;
  const std::string session = client_->session();
  ExpectRefused(RawPost("{not json", &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("", &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("[1,2]", &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("{\"op\":7}", &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("{\"op\":\"explode\"}", &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("{\"op\":\"get\",\"member\":\"Name\"}", &r, session), r, 400,
                E_BRIDGE_BAD_REQUEST);
  ExpectRefused(RawPost("{\"op\":\"create\",\"class\":\"\xff\xfe\"}", &r, session), r, 400,
                E_BRIDGE_BAD_REQUEST);
  std::string deep(10000, '[');
  ExpectRefused(RawPost(deep, &r, session), r, 400, E_BRIDGE_BAD_REQUEST);
}

TEST_F(BridgeTest, SessionProblemsAreRefusedWith401) {
  Start();
  Json r;
  ExpectRefused(RawPost("{\"op\":\"create\",\"class\":\"Test.Server\"}", &r), r, 401,
                E_BRIDGE_NO_SESSION);
  ExpectRefused(RawPost("{\"op\":\"create\",\"class\":\"Test.Server\"}", &r, "0123abcd"), r, 401,
                E_SRV_SESSION_EXPIRED);
  // The session may also travel in the body.
  EXPECT_EQ(200, RawPost("{\"op\":\"create\",\"class\":\"Test.Server\",\"session\":\"" +
                             client_->session() + "\"}",
                         &r));
}

TEST_F(BridgeTest, UnknownThingsAreRefusedWith404) {
  Start();
  std::string h = Create();
  long http = 0;
  Json r = Op({{"op", "get"}, {"object", "h999"}, {"member", "Name"}}, &http);
  ExpectRefused(http, r, 404, E_HANDLE);
  r = Op({{"op", "get"}, {"object", h}, {"member", "NoSuchMember"}}, &http);
  ExpectRefused(http, r, 404, DISP_E_UNKNOWNNAME);
  r = Op({{"op", "get"}, {"object", h}, {"dispid", 12345}}, &http);
  ExpectRefused(http, r, 404, DISP_E_MEMBERNOTFOUND);
  r = Op({{"op", "create"}, {"class", "No.Such.Class"}}, &http);
  ExpectRefused(http, r, 404, CO_E_CLASSSTRING);
  r = Op({{"op", "create"}, {"class", "{00000000-0000-0000-0000-000000000001}"}}, &http);
  ExpectRefused(http, r, 404, REGDB_E_CLASSNOTREG);
  r = Op({{"op", "release"}, {"object", "h999"}}, &http);
  ExpectRefused(http, r, 404, E_HANDLE);
  r = Op({{"op", "unadvise"}, {"object", h}, {"cookie", 77}}, &http);
  ExpectRefused(http, r, 404, CONNECT_E_NOCONNECTION);
  std::string zones = Get(h, "Zones")["result"]["object"];
  r = Op({{"op", "advise"}, {"object", zones}}, &http);
  ExpectRefused(http, r, 404, E_NOINTERFACE);
  r = Call(h, "Echo", {{{"vt", 9}, {"object", "h4242"}}});
  EXPECT_EQ(StatusText(E_HANDLE), r["status"]);
}

TEST_F(BridgeTest, WrongArgumentCountsAndTypesAreRefusedWith400) {
  Start();
  std::string h = Create();
  long http = 0;
  Json r = Op({{"op", "call"}, {"object", h}, {"member", "Scale"}, {"args", {1, 2}}}, &http);
  ExpectRefused(http, r, 400, DISP_E_BADPARAMCOUNT);
  r = Op({{"op", "call"}, {"object", h}, {"member", "Scale"}}, &http);
  ExpectRefused(http, r, 400, DISP_E_BADPARAMCOUNT);
  r = Op(
      {{"op", "call"}, {"object", h}, {"member", "Scale"}, {"args", {{{"vt", 3}, {"value", "x"}}}}},
      &http);
  ExpectRefused(http, r, 400, DISP_E_TYPEMISMATCH);
  r = Op({{"op", "call"},
          {"object", h},
          {"member", "Scale"},
          {"args", {{{"vt", 3}, {"value", 1e12}}}}},
         &http);
  ExpectRefused(http, r, 400, DISP_E_OVERFLOW);
  r = Op({{"op", "call"}, {"object", h}, {"member", "Echo"}, {"args", {{{"vt", 999}}}}}, &http);
  ExpectRefused(http, r, 400, DISP_E_BADVARTYPE);
  r = Op({{"op", "call"}, {"object", h}, {"member", "Echo"}, {"args", {{{"vt", 0x4003}}}}}, &http);
  ExpectRefused(http, r, 400, DISP_E_BADVARTYPE);
  r = Op({{"op", "call"}, {"object", h}, {"member", "Echo"}, {"args", {{{"value", 1}}}}}, &http);
  ExpectRefused(http, r, 400, E_BRIDGE_BAD_REQUEST);
  r = Op({{"op", "call"}, {"object", h}, {"member", "Echo"}, {"args", "notalist"}}, &http);
  ExpectRefused(http, r, 400, E_BRIDGE_BAD_REQUEST);
  r = Op({{"op", "put"}, {"object", h}, {"member", "Name"}}, &http);
  ExpectRefused(http, r, 400, E_BRIDGE_BAD_REQUEST);
  // An object given a reference to itself would keep itself alive after every handle is gone:
  // refused as the object would refuse a bad argument.
  for (const char* op : {"put", "putref"}) {
    r = Op(
        {{"op", op}, {"object", h}, {"member", "OnStatus"}, {"value", {{"vt", 9}, {"object", h}}}},
        &http);
    ExpectRefused(http, r, 200, E_INVALIDARG);
  }
  // Nothing above reached the method.
  EXPECT_EQ(0, Get(h, "Counter")["result"]["value"]);
}

TEST_F(BridgeTest, OversizedBodiesAreRefusedWith413) {
  BridgeOptions o = TestBridgeOptions();
  o.max_body_bytes = 1024;
  Start(o);
  Json r;
  std::string big = "{\"op\":\"session\",\"pad\":\"" + std::string(4096, 'x') + "\"}";
  ExpectRefused(RawPost(big, &r), r, 413, E_BRIDGE_BODY_TOO_LARGE);
  // Without a Content-Length (chunked), the limit is found while reading.
  RawConnection raw(server_->bridge().unix_socket_path());
  ASSERT_TRUE(raw.connected());
  std::string request =
      "POST /api/v1/automation HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 4; ++i) request += "200\r\n" + std::string(512, 'y') + "\r\n";
  request += "0\r\n\r\n";
  ASSERT_TRUE(raw.Send(request));
  std::string got = raw.ReadUntil("}\n", milliseconds(3000));
  EXPECT_NE(std::string::npos, got.find("413")) << got;
  EXPECT_NE(std::string::npos, got.find(StatusText(E_BRIDGE_BODY_TOO_LARGE))) << got;
  // The bridge is still fine.
  EXPECT_EQ("00000000", Op({{"op", "create"}, {"class", "Test.Server"}})["status"]);
}

TEST_F(BridgeTest, WrongEndpointsAndMethods) {
  Start();
  // A refusal made before the request was read closes the connection: one connection each.
  struct Case {
    const char* request;
    const char* http;
    HRESULT status;
  } cases[] = {
      {"GET /api/v1/automation HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405", E_BRIDGE_BAD_METHOD},
      {"POST /api/v1/events HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405",
       E_BRIDGE_BAD_METHOD},
      {"GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404", E_BRIDGE_NO_ENDPOINT},
      {"GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 401", E_BRIDGE_NO_SESSION},
      {"GET /api/v1/events?session=feed HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 401",
       E_SRV_SESSION_EXPIRED},
  };
  for (const Case& c : cases) {
    RawConnection raw(server_->bridge().unix_socket_path());
    ASSERT_TRUE(raw.Send(c.request));
    std::string got = raw.ReadUntil("}\n", milliseconds(3000));
    EXPECT_EQ(0u, got.find(c.http)) << c.request << got;
    EXPECT_NE(std::string::npos, got.find(StatusText(c.status))) << c.request << got;
  }
}

TEST_F(BridgeTest, HandleLimitIsAClearErrorAndReleaseMakesRoom) {
  BridgeOptions o = TestBridgeOptions();
  o.sessions.max_handles = 4;
  Start(o);
  std::string h = Create();
  std::vector<std::string> children;
  for (int i = 0; i < 3; ++i) {
    children.push_back(Call(h, "NewChild", {"c" + std::to_string(i)})["result"]["object"]);
  }
  long http = 0;
  Json r =
      Op({{"op", "call"}, {"object", h}, {"member", "NewChild"}, {"args", {"one more"}}}, &http);
  ExpectRefused(http, r, 429, E_BRIDGE_HANDLE_LIMIT);
  r = Op({{"op", "callback"}}, &http);
  ExpectRefused(http, r, 429, E_BRIDGE_HANDLE_LIMIT);
  Op({{"op", "release"}, {"object", children[0]}});
  EXPECT_EQ("00000000", Call(h, "NewChild", {"fits"})["status"]);
}

TEST_F(BridgeTest, StreamLimitPerSession) {
  BridgeOptions o = TestBridgeOptions();
  o.sessions.max_streams = 1;
  Start(o);
  Watcher first(server_->UnixClient(), client_->session());
  ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(3000)));
  BridgeClient second(server_->UnixClient());
  second.set_session(client_->session());
  EXPECT_EQ(E_BRIDGE_STREAM_LIMIT, second.Watch([](const Json&) { return true; }));
  second.set_session("");
}

// ---- Misbehaving clients --------------------------------------------------------------------

TEST_F(BridgeTest, SilentClientsAreClosedAndDoNotBlockOthers) {
  Start();
  RawConnection silent(server_->bridge().unix_socket_path());
  RawConnection half(server_->bridge().unix_socket_path());
  ASSERT_TRUE(silent.connected());
  ASSERT_TRUE(
      half.Send("POST /api/v1/automation HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n"
                "\r\n{\"op\":"));
  // Others are served meanwhile.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("00000000", Op({{"op", "create"}, {"class", "Test.Server"}})["status"]);
  // ... well before the connection time-out could have freed anything.
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(900));
  // The connection time-out (1 s here) closes both.
  EXPECT_TRUE(silent.WaitClosed(milliseconds(5000)));
  EXPECT_TRUE(half.WaitClosed(milliseconds(5000)));
}

TEST_F(BridgeTest, ClientLeavingMidStreamIsNoticedAndReleased) {
  Start();
  std::string h = Create();
  Op({{"op", "advise"}, {"object", h}});
  {
    RawConnection raw(server_->bridge().unix_socket_path());
    ASSERT_TRUE(raw.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\nX-Zel-Session: " +
                         client_->session() + "\r\n\r\n"));
    std::string got = raw.ReadUntil("retry", milliseconds(3000));
    ASSERT_NE(std::string::npos, got.find("text/event-stream")) << got;
    ASSERT_EQ(1u, server_->bridge().stream_count());
  }  // the client goes away without a word
  Call(h, "FireTicks", {3});
  EXPECT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 0; }, milliseconds(5000)));
  // Its slot is free again and the server is still fine.
  Watcher w(server_->UnixClient(), client_->session());
  Call(h, "FireTicks", {1});
  EXPECT_FALSE(w.WaitCount(1).empty());
}

// Streams open and close between events: every event reaches the next stream, so the sequence
// numbers the client sees run on without a gap or a repeat.
TEST_F(BridgeTest, EventsWaitInTheQueueAcrossStreamReconnects) {
  Start();
  std::string h = Create();
  Op({{"op", "advise"}, {"object", h}});
  std::vector<int64_t> seqs;
  std::vector<int64_t> ticks;
  size_t waiting = 0;  // fired while no stream was open
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto w = std::make_unique<Watcher>(server_->UnixClient(), client_->session());
    ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(3000)));
    Call(h, "FireTicks", {2});
    std::vector<Json> events = w->WaitCount(waiting + 2);
    ASSERT_EQ(waiting + 2, events.size());
    for (const Json& e : events) {
      seqs.push_back(e["seq"].get<int64_t>());
      ticks.push_back(e["arguments"][0]["value"].get<int64_t>());
    }
    // The client closes its stream; the next event comes before the server has noticed.
    w.reset();
    Call(h, "FireTicks", {1});
    waiting = 1;
  }
  Watcher last(server_->UnixClient(), client_->session());
  std::vector<Json> events = last.WaitCount(1);
  ASSERT_EQ(1u, events.size());
  seqs.push_back(events[0]["seq"].get<int64_t>());
  ticks.push_back(events[0]["arguments"][0]["value"].get<int64_t>());
  ASSERT_EQ(9u, seqs.size());
  for (size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(static_cast<int64_t>(i + 1), seqs[i]) << i;
  // FireTicks numbers its ticks from 1 on every call.
  EXPECT_EQ((std::vector<int64_t>{1, 2, 1, 1, 2, 1, 1, 2, 1}), ticks);
}

// ---- Load -----------------------------------------------------------------------------------

TEST_F(BridgeTest, SlowCallDoesNotBlockOtherClients) {
  Start();
  std::string h = Create();
  std::atomic<bool> slow_done{false};
  std::thread slow([&] {
    BridgeClient c(server_->UnixClient());
    c.set_session(client_->session());
    Json r;
    EXPECT_EQ(S_OK,
              c.Op({{"op", "call"}, {"object", h}, {"member", "Block"}, {"args", {1500}}}, &r));
    slow_done = true;
    c.set_session("");
  });
  ASSERT_TRUE(
      WaitFor([&] { return Get(h, "Counter")["result"]["value"] == 1; }, milliseconds(1000)));
  // A new client, a new session and a call all complete while the slow call still runs.
  BridgeClient other(server_->TcpClient());
  ASSERT_EQ(S_OK, other.OpenSession());
  Json r;
  EXPECT_EQ(S_OK, other.Op({{"op", "create"}, {"class", "Test.Server"}}, &r));
  EXPECT_EQ(
      S_OK,
      other.Op(
          {{"op", "call"}, {"object", r["result"]["object"]}, {"member", "Sum"}, {"args", {1}}},
          &r));
  EXPECT_FALSE(slow_done.load());
  slow.join();
}

TEST_F(BridgeTest, BurstOfAThousandRequestsFromSeveralClients) {
  Start();
  constexpr int kClients = 4;
  constexpr int kEach = 250;
  std::atomic<int> ok{0}, busy{0}, other{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      BridgeClient client(c % 2 ? server_->TcpClient() : server_->UnixClient());
      if (Failed(client.OpenSession())) return;
      Json r;
      (void)client.Op({{"op", "create"}, {"class", "Test.Server"}}, &r);
      std::string h = r["result"]["object"];
      std::shared_ptr<Session> session;
      std::string owner = c % 2 ? "token test-admin" : "uid " + std::to_string(geteuid());
      ASSERT_EQ(S_OK, server_->bridge().sessions().Find(client.session(), owner, &session));
      for (int i = 0; i < kEach; ++i) {
        long http = 0;
        HRESULT hr = client.Op({{"op", "get"}, {"object", h}, {"member", "Zones"}}, &r, &http);
        if (hr == S_OK) {
          ++ok;
        } else if (hr == E_BRIDGE_BUSY && http == 503) {
          ++busy;
        } else {
          ++other;
        }
      }
      // Reading the same object again and again does not use up handles.
      EXPECT_EQ(2u, session->handles().size());
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kClients * kEach, ok + busy);
  EXPECT_EQ(0, other);
  EXPECT_GT(ok, 0);
  // Each client closed its session on the way out.
  EXPECT_EQ(1u, server_->bridge().sessions().size());
}

// ---- Session lifetime -----------------------------------------------------------------------

TEST_F(BridgeTest, IdleSessionExpiresAndReleasesEverything) {
  BridgeOptions o = TestBridgeOptions();
  o.sessions.idle_timeout = milliseconds(300);
  Start(o);
  // The singleton, seen from a second session that stays busy.
  ComPtr<IDispatch> server;
  ASSERT_EQ(S_OK, ClassRegistry::Instance().Create(kFakeZelServerClsid, &server));
  auto* fake = static_cast<FakeServer*>(server.get());
  const uint32_t baseline = fake->RefCountForTesting();

  std::string h = Create("Corvane.ZelServer");
  Op({{"op", "advise"}, {"object", h}});
  Json cb = Op({{"op", "callback"}, {"name", "OnStatus"}});
  Op({{"op", "put"}, {"object", h}, {"member", "OnStatus"}, {"value", cb["result"]}});
  EXPECT_GT(fake->RefCountForTesting(), baseline);
  int32_t connections = -1;
  ASSERT_EQ(S_OK, fake->get_EventConnections(&connections));
  EXPECT_EQ(1, connections);

  // The session leaves the table first and lets go of its handles and sinks just after, so
  // both are waited for (a loaded machine may see the moment between).
  ASSERT_TRUE(WaitFor(
      [&] {
        int32_t open = -1;
        return server_->bridge().sessions().size() == 0 && fake->RefCountForTesting() == baseline &&
               fake->get_EventConnections(&open) == S_OK && open == 0;
      },
      milliseconds(5000)))
      << "handles and sinks released: " << fake->RefCountForTesting() << " refs, baseline "
      << baseline;
  // The server may still call the handler it holds: nothing happens.
  EXPECT_EQ(S_OK, fake->FireStatus(18));
  long http = 0;
  Json r = Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &http);
  ExpectRefused(http, r, 401, E_SRV_SESSION_EXPIRED);
  client_->set_session("");
}

TEST_F(BridgeTest, CloseEndsTheSessionAndItsStream) {
  Start();
  std::string h = Create();
  BridgeClient watcher(server_->UnixClient());
  watcher.set_session(client_->session());
  HRESULT watch_result = E_FAIL;
  std::thread t([&] { watch_result = watcher.Watch([](const Json&) { return true; }); });
  ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(3000)));
  EXPECT_EQ(S_OK, client_->CloseSession());
  t.join();
  EXPECT_EQ(S_FALSE, watch_result) << "the bridge ended the stream";
  watcher.set_session("");
  EXPECT_EQ(0u, server_->bridge().sessions().size());
}

TEST_F(BridgeTest, StopWithOpenStreamAndRunningCall) {
  Start();
  std::string h = Create();
  BridgeClient watcher(server_->UnixClient());
  watcher.set_session(client_->session());
  std::thread t([&] { (void)watcher.Watch([](const Json&) { return true; }); });
  std::thread slow([&] {
    BridgeClient c(server_->UnixClient());
    c.set_session(client_->session());
    Json r;
    (void)c.Op({{"op", "call"}, {"object", h}, {"member", "Block"}, {"args", {300}}}, &r);
    c.set_session("");
  });
  ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(3000)));
  ASSERT_TRUE(
      WaitFor([&] { return Get(h, "Counter")["result"]["value"] == 1; }, milliseconds(1000)));
  server_->bridge().Stop();
  t.join();
  slow.join();
  watcher.set_session("");
  client_->set_session("");
}

TEST_F(BridgeTest, SocketIsForOwnerAndGroupOnlyAndGoesAwayAtStop) {
  Start();
  struct stat st {};
  const std::string path = server_->bridge().unix_socket_path();
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 0777);
  client_->set_session("");
  server_->bridge().Stop();
  EXPECT_NE(0, stat(path.c_str(), &st));
}

TEST_F(BridgeTest, LiveSocketIsNotTakenOver) {
  Start();
  BridgeOptions o;
  o.unix_socket_path = server_->bridge().unix_socket_path();
  o.tcp_port = -1;
  AutomationBridge second(o);
  EXPECT_EQ(HresultFromErrno(EADDRINUSE), second.Start());
  // The first still serves.
  EXPECT_EQ("00000000", Op({{"op", "create"}, {"class", "Test.Server"}})["status"]);
}

}  // namespace
}  // namespace zel::bridge::testing
