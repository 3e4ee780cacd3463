// The front door over real HTTP: tokens and roles on TCP, Host and Origin, sessions bound to
// their identity, the wrong-code back-off, and the limits on names, headers, slow and many
// connections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "bridge/bridge_test_util.h"
#include "bridge/fake_server.h"
#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/system_log.h"

namespace zel::bridge::testing {
namespace {

using std::chrono::milliseconds;

class FrontDoorHttpTest : public ::testing::Test {
 protected:
  void Start(BridgeOptions options = TestBridgeOptions()) {
    server_ = std::make_unique<TestBridge>(std::move(options));
    ASSERT_EQ(S_OK, server_->start_status());
  }
  // Opens a session and creates the fake server; returns its handle ("" on failure).
  static std::string Open(BridgeClient* c) {
    if (Failed(c->OpenSession())) return "";
    Json r;
    if (Failed(c->Op({{"op", "create"}, {"class", "Test.Server"}}, &r))) return "";
    return r["result"]["object"].get<std::string>();
  }
  static std::string ArmFirstArea(BridgeClient* c, const std::string& server, const char* code,
                                  Json* reply) {
    Json r;
    (void)c->Op({{"op", "get"}, {"object", server}, {"member", "Areas"}}, &r);
    std::string areas = r["result"]["object"];
    (void)c->Op({{"op", "call"}, {"object", areas}, {"member", "Item"}, {"args", {1}}}, &r);
    std::string area = r["result"]["object"];
    (void)c->Op({{"op", "call"}, {"object", area}, {"member", "Arm"}, {"args", {code, 3}}}, reply);
    return (*reply)["status"].get<std::string>();
  }

  std::unique_ptr<TestBridge> server_;
};

TEST_F(FrontDoorHttpTest, TcpNeedsAKnownTokenAndItsRoleDecides) {
  Start();
  // No token, a wrong one: refused before anything runs, even the session.
  ClientOptions none = server_->TcpClient();
  none.bearer_token.clear();
  BridgeClient anonymous(none);
  Json reply;
  long http = 0;
  EXPECT_EQ(E_BRIDGE_NO_TOKEN, anonymous.Op({{"op", "session"}}, &reply, &http));
  EXPECT_EQ(401, http);
  ClientOptions bad = server_->TcpClient();
  bad.bearer_token = "zel_" + std::string(64, '0');
  BridgeClient stranger(bad);
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN, stranger.Op({{"op", "session"}}, &reply, &http));
  EXPECT_EQ(401, http);
  EXPECT_EQ(0u, server_->bridge().sessions().size());

  // A read token reads but cannot arm or read the secret; control arms; only admin reads it.
  BridgeClient reader(server_->TcpClient(Role::kRead));
  std::string h = Open(&reader);
  ASSERT_FALSE(h.empty());
  EXPECT_EQ(S_OK, reader.Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &reply));
  EXPECT_EQ(StatusText(E_ACCESSDENIED), ArmFirstArea(&reader, h, "1234", &reply));
  EXPECT_EQ(E_ACCESSDENIED,
            reader.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &reply, &http));
  EXPECT_EQ(403, http);
  EXPECT_NE(std::string::npos,
            reply["error"]["description"].get<std::string>().find("token test-read has read"));

  BridgeClient controller(server_->TcpClient(Role::kControl));
  h = Open(&controller);
  EXPECT_EQ("00000000", ArmFirstArea(&controller, h, "1234", &reply));
  EXPECT_EQ(E_ACCESSDENIED,
            controller.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &reply));

  BridgeClient admin(server_->TcpClient(Role::kAdmin));
  h = Open(&admin);
  EXPECT_EQ(S_OK, admin.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &reply));
  // The lock members stay out of reach of every token.
  EXPECT_EQ(E_ACCESSDENIED, admin.Op({{"op", "call"}, {"object", h}, {"member", "Lock"}}, &reply));

  // A removed token stops working at its next request, without a restart.
  TokenStore store(server_->dir() + "/" + kTokenFileName);
  ASSERT_EQ(S_OK, store.Remove("test-control"));
  EXPECT_EQ(E_BRIDGE_BAD_TOKEN,
            controller.Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &reply, &http));
}

TEST_F(FrontDoorHttpTest, ForeignHostAndOriginAreRefused) {
  BridgeOptions o = TestBridgeOptions();
  o.policy.origins = {"http://alarm.lan"};
  Start(std::move(o));
  struct Case {
    std::vector<std::string> headers;
    HRESULT want;
  };
  const Case kCases[] = {
      {{"Host: attacker.example"}, E_BRIDGE_BAD_HOST},
      {{"Host: attacker.example", "Origin: http://attacker.example"}, E_BRIDGE_BAD_HOST},
      {{"Origin: http://attacker.example"}, E_BRIDGE_BAD_ORIGIN},
      {{"Origin: http://alarm.lan"}, S_OK},
      {{"Host: localhost:" + std::to_string(server_->bridge().tcp_port())}, S_OK},
  };
  for (const Case& c : kCases) {
    ClientOptions options = server_->TcpClient();
    options.extra_headers = c.headers;
    BridgeClient client(options);
    Json reply;
    long http = 0;
    EXPECT_EQ(StatusText(c.want), StatusText(client.Op({{"op", "session"}}, &reply, &http)))
        << c.headers[0];
    if (Failed(c.want)) {
      EXPECT_EQ(403, http);
      EXPECT_EQ(StatusNameOf(c.want), reply["statusName"]);
    }
  }
}

TEST_F(FrontDoorHttpTest, SessionsBelongToTheirIdentityAndAreLimitedPerIdentity) {
  BridgeOptions o = TestBridgeOptions();
  o.policy.sessions_per_identity = 2;
  Start(std::move(o));
  BridgeClient a(server_->UnixClient()), b(server_->UnixClient()), c(server_->UnixClient());
  ASSERT_EQ(S_OK, a.OpenSession());
  ASSERT_EQ(S_OK, b.OpenSession());
  Json reply;
  long http = 0;
  EXPECT_EQ(E_BRIDGE_IDENTITY_SESSION_LIMIT, c.Op({{"op", "session"}}, &reply, &http));
  EXPECT_EQ(429, http);
  // Another identity is not held back by the first one's sessions ...
  BridgeClient tcp(server_->TcpClient());
  ASSERT_EQ(S_OK, tcp.OpenSession());
  // ... and cannot use them, even knowing their ids.
  tcp.set_session(a.session());
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, tcp.Op({{"op", "create"}, {"class", "Test.Server"}}, &reply));
  tcp.set_session("");
  // Closing one makes room again.
  ASSERT_EQ(S_OK, b.CloseSession());
  EXPECT_EQ(S_OK, c.OpenSession());
}

TEST_F(FrontDoorHttpTest, WrongCodesDoubleTheBackOffOfThatIdentityOnly) {
  Start();
  // A production second is 250 ms: long enough that the attempt right after a wrong code falls
  // inside the back-off even on a loaded machine.
  ScaledClock fast(4);
  ScopedClock installed(&fast);
  ScopedSystemLogCapture log;
  BridgeClient controller(server_->TcpClient(Role::kControl));
  std::string h = Open(&controller);
  Json reply;
  EXPECT_EQ(StatusText(E_SRV_LOGIN_DENIED), ArmFirstArea(&controller, h, "0000", &reply));
  // At once again: not even tried.
  EXPECT_EQ(StatusText(E_BRIDGE_BACKOFF), ArmFirstArea(&controller, h, "1234", &reply));
  EXPECT_EQ(1, reply["retryAfter"]);
  // Another identity is not slowed by it.
  BridgeClient local(server_->UnixClient());
  std::string lh = Open(&local);
  EXPECT_EQ("00000000", ArmFirstArea(&local, lh, "1234", &reply));
  // After the back-off the right code goes through.
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ("00000000", ArmFirstArea(&controller, h, "1234", &reply));

  std::vector<SystemLogReport> reports = log.reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(MSG_WRONG_CODE, reports[0].message_id);
  EXPECT_NE(std::string::npos, reports[0].extra.find("token test-control, Arm of"));
  EXPECT_EQ(std::string::npos, reports[0].extra.find("0000"));  // never the code
}

TEST_F(FrontDoorHttpTest, NamesAndHeadersAreBounded) {
  Start();
  BridgeClient client(server_->UnixClient());
  std::string h = Open(&client);
  Json reply;
  long http = 0;
  EXPECT_EQ(
      E_BRIDGE_NAME_TOO_LONG,
      client.Op({{"op", "get"}, {"object", h}, {"member", std::string(257, 'N')}}, &reply, &http));
  EXPECT_EQ(400, http);
  // At the limit the name is looked up as usual.
  EXPECT_EQ(DISP_E_UNKNOWNNAME,
            client.Op({{"op", "get"}, {"object", h}, {"member", std::string(256, 'N')}}, &reply));
  EXPECT_EQ(E_BRIDGE_NAME_TOO_LONG,
            client.Op({{"op", "callback"}, {"name", std::string(10000, 'c')}}, &reply));
  EXPECT_EQ(S_OK, client.Op({{"op", "callback"}, {"name", std::string(256, 'c')}}, &reply));

  ClientOptions big = server_->UnixClient();
  big.extra_headers = {"X-Padding: " + std::string(kMaxHeaderBytes, 'p')};
  BridgeClient padded(big);
  EXPECT_EQ(E_BRIDGE_HEADERS_TOO_LARGE, padded.Op({{"op", "session"}}, &reply, &http));
  EXPECT_EQ(431, http);
}

TEST_F(FrontDoorHttpTest, SlowHeadersAreClosed) {
  BridgeOptions o = TestBridgeOptions();
  o.header_timeout = milliseconds(300);
  o.connection_timeout_seconds = 30;  // only the header time-out may close the slow one
  Start(std::move(o));
  ScopedSystemLogCapture log;

  // A client trickling its headers a byte at a time is closed once the header time is up.
  RawConnection slow(server_->bridge().unix_socket_path());
  ASSERT_TRUE(slow.connected());
  auto started = std::chrono::steady_clock::now();
  std::string request = "POST /api/v1/automation HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
  bool closed = false;
  for (size_t i = 0; i < 200 && !closed; ++i) {
    if (!slow.Send(i < request.size() ? request.substr(i, 1) : "x")) break;
    closed = slow.WaitClosed(milliseconds(20));
  }
  if (!closed) closed = slow.WaitClosed(milliseconds(1500));
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const SystemLogReport& r : log.reports()) {
          if (r.code == E_BRIDGE_HEADER_TIMEOUT) return true;
        }
        return false;
      },
      milliseconds(2000)));
}

// The header time-out stays long here: idle connections held open by the test must not be
// closed by it while a loaded machine runs the test slowly.
TEST_F(FrontDoorHttpTest, TooManyConnectionsFromOnePeerAreClosed) {
  BridgeOptions o = TestBridgeOptions();
  o.header_timeout = milliseconds(10000);
  o.connection_timeout_seconds = 30;
  o.policy.connections_per_peer = 3;
  Start(std::move(o));
  ScopedSystemLogCapture log;

  // Three connections are served; the fourth from the same user is closed at once.
  RawConnection c1(server_->bridge().unix_socket_path()), c2(server_->bridge().unix_socket_path()),
      c3(server_->bridge().unix_socket_path());
  RawConnection c4(server_->bridge().unix_socket_path());
  EXPECT_TRUE(c4.WaitClosed(milliseconds(2000)));
  const std::string session =
      "POST /api/v1/automation HTTP/1.1\r\nHost: localhost\r\n"
      "Content-Length: 16\r\n\r\n{\"op\":\"session\"}";
  ASSERT_TRUE(c1.Send(session));
  EXPECT_NE(std::string::npos, c1.ReadUntil("S_OK", milliseconds(2000)).find("S_OK"));
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const SystemLogReport& r : log.reports()) {
          if (r.code == E_BRIDGE_PEER_CONNECTION_LIMIT) return true;
        }
        return false;
      },
      milliseconds(2000)));
}

TEST_F(FrontDoorHttpTest, ValuesOfPolledObjectsCarryTheirAge) {
  Start();
  BridgeClient client(server_->UnixClient());
  std::string h = Open(&client);
  Json r;
  ASSERT_EQ(S_OK, client.Op({{"op", "get"}, {"object", h}, {"member", "Zones"}}, &r));
  EXPECT_FALSE(r.contains("age"));  // an object, not a value
  std::string zones = r["result"]["object"];
  EXPECT_FALSE(client.Op({{"op", "get"}, {"object", h}, {"member", "Name"}}, &r) != S_OK ||
               r.contains("age"));  // the server object is not polled
  for (int i : {1, 2}) {
    ASSERT_EQ(
        S_OK,
        client.Op({{"op", "call"}, {"object", zones}, {"member", "Item"}, {"args", {i}}}, &r));
    std::string zone = r["result"]["object"];
    ASSERT_EQ(S_OK, client.Op({{"op", "get"}, {"object", zone}, {"member", "CurrCondition"}}, &r));
    ASSERT_TRUE(r.contains("age")) << r.dump();
    if (i == 1) {
      EXPECT_EQ(2.5, r["age"]);
    } else {
      EXPECT_TRUE(r["age"].is_null());  // never refreshed
    }
  }
}

}  // namespace
}  // namespace zel::bridge::testing
