// A person's login on the TCP listener: the login endpoints set and clear a strict cookie, the
// cookie is the credential of later requests with the role its user is given, and an ended
// login session ends the credential and the event streams opened with it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/bridge_test_util.h"
#include "bridge/fake_server.h"
#include "bridge/login_endpoint.h"
#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/clock.h"
#include "platform/system_log.h"

namespace zel::bridge::testing {
namespace {

using std::chrono::milliseconds;

struct Posted {
  HRESULT transport = E_FAIL;
  long http = 0;
  Json body;
  std::string set_cookie;  // the reply's Set-Cookie value, "" when none
};

class LoginCookieTest : public ::testing::Test {
 protected:
  void Start(BridgeOptions options = TestBridgeOptions()) {
    options.logins = gate_;
    options.policy.login_users = {{"boss", Role::kAdmin}};
    server_ = std::make_unique<TestBridge>(std::move(options));
    ASSERT_EQ(S_OK, server_->start_status());
  }
  // A TCP client with neither token nor cookie, plus the given header lines.
  ClientOptions Tcp(std::vector<std::string> headers = {}) const {
    ClientOptions o;
    o.tcp_port = server_->bridge().tcp_port();
    o.timeout_ms = 10000;
    o.extra_headers = std::move(headers);
    return o;
  }
  ClientOptions WithCookie(const std::string& cookie) const {
    return Tcp({std::string("Cookie: theme=dark; ") + kLoginCookieName + "=" + cookie});
  }
  static Posted Post(BridgeClient* client, const char* path, const std::string& body) {
    Posted p;
    std::string text;
    std::vector<std::string> headers;
    p.transport = client->PostTo(path, body, "", &p.http, &text, &headers);
    p.body = Json::parse(text, nullptr, false);
    for (const std::string& h : headers) {
      if (h.rfind("Set-Cookie: ", 0) == 0) p.set_cookie = h.substr(12);
    }
    return p;
  }
  Posted LogIn(const std::string& user, const std::string& code) {
    BridgeClient c(Tcp());
    return Post(&c, kLoginPath, Json{{"user", user}, {"code", code}}.dump());
  }
  // Opens a session and creates the fake server: its handle, or "" on failure.
  static std::string Open(BridgeClient* c) {
    if (Failed(c->OpenSession())) return "";
    Json r;
    if (Failed(c->Op({{"op", "create"}, {"class", "Test.Server"}}, &r))) return "";
    return r["result"]["object"].get<std::string>();
  }

  std::shared_ptr<FakeLoginGate> gate_ = std::make_shared<FakeLoginGate>();
  std::unique_ptr<TestBridge> server_;
};

TEST_F(LoginCookieTest, ALoginSetsAStrictCookieThatCarriesItsUsersRole) {
  Start();
  Posted owner = LogIn("Owner", "1234");
  ASSERT_EQ(S_OK, owner.transport);
  EXPECT_EQ(200, owner.http);
  EXPECT_EQ("00000000", owner.body["status"]);
  const std::string cookie = owner.body["cookie"];
  EXPECT_EQ("control", owner.body["role"]);
  EXPECT_EQ(900, owner.body["expiresIn"]);
  EXPECT_EQ("zelsession=" + cookie + "; Path=/; HttpOnly; SameSite=Strict", owner.set_cookie);

  // The cookie is the credential: control may change things, but the admin-only member stays
  // out of reach.
  BridgeClient person(WithCookie(cookie));
  std::string h = Open(&person);
  ASSERT_FALSE(h.empty());
  Json r;
  EXPECT_EQ(S_OK,
            person.Op({{"op", "put"}, {"object", h}, {"member", "Name"}, {"value", "Hall"}}, &r));
  long http = 0;
  EXPECT_EQ(E_ACCESSDENIED,
            person.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &r, &http));
  EXPECT_EQ(403, http);
  EXPECT_NE(std::string::npos,
            r["error"]["description"].get<std::string>().find("login owner has control"));

  // The policy makes one user an administrator.
  Posted boss = LogIn("boss", "4321");
  EXPECT_EQ("admin", boss.body["role"]);
  BridgeClient admin(WithCookie(boss.body["cookie"]));
  h = Open(&admin);
  EXPECT_EQ(S_OK, admin.Op({{"op", "get"}, {"object", h}, {"member", "Secret"}}, &r));

  // Renewal: the cookie alone, answered with the same cookie set again.
  BridgeClient renewer(WithCookie(cookie));
  Posted renewed = Post(&renewer, kLoginPath, "");
  EXPECT_EQ("00000000", renewed.body["status"]);
  EXPECT_EQ(cookie, renewed.body["cookie"]);
  EXPECT_EQ(owner.set_cookie, renewed.set_cookie);
  EXPECT_EQ(1, gate_->renewals());
}

TEST_F(LoginCookieTest, LogoutOrExpiryEndsTheCredentialAndItsEventStream) {
  Start();
  const std::string cookie = LogIn("guest", "5678").body["cookie"];
  BridgeClient person(WithCookie(cookie));
  ASSERT_FALSE(Open(&person).empty());
  std::atomic<bool> ended{false};
  HRESULT watched = E_FAIL;
  std::thread watcher([&] {
    BridgeClient stream(WithCookie(cookie));
    stream.set_session(person.session());
    watched = stream.Watch([](const Json&) { return true; });
    ended = true;
  });
  ASSERT_TRUE(WaitFor([&] { return server_->bridge().stream_count() == 1; }, milliseconds(5000)));

  BridgeClient leaving(WithCookie(cookie));
  Posted out = Post(&leaving, kLogoutPath, "");
  EXPECT_EQ("00000000", out.body["status"]);
  EXPECT_EQ("zelsession=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0", out.set_cookie);
  // The stream ends at the next housekeeping tick (50 ms here).
  EXPECT_TRUE(WaitFor([&] { return ended.load(); }, milliseconds(5000)));
  watcher.join();
  EXPECT_EQ(S_FALSE, watched);  // ended by the bridge

  Json r;
  long http = 0;
  EXPECT_EQ(E_BRIDGE_LOGIN_ENDED, person.Op({{"op", "session"}}, &r, &http));
  EXPECT_EQ(401, http);

  // Expiry is the same to the bridge; renewing an expired session clears the cookie.
  const std::string second = LogIn("guest", "5678").body["cookie"];
  BridgeClient again(WithCookie(second));
  ASSERT_EQ(S_OK, again.OpenSession());
  gate_->Expire(second);
  EXPECT_EQ(E_BRIDGE_LOGIN_ENDED, again.Op({{"op", "session"}}, &r));
  Posted renewal = Post(&again, kLoginPath, "{}");
  EXPECT_EQ(StatusText(E_SRV_SESSION_EXPIRED), renewal.body["status"]);
  EXPECT_NE(std::string::npos, renewal.set_cookie.find("Max-Age=0"));
}

TEST_F(LoginCookieTest, TheLoginEndpointsKeepTheHostAndOriginChecks) {
  Start();
  const std::string port = std::to_string(server_->bridge().tcp_port());
  struct Case {
    std::vector<std::string> headers;
    HRESULT want;
  };
  const Case kCases[] = {
      {{"Host: attacker.example:" + port}, E_BRIDGE_BAD_HOST},
      {{"Origin: http://attacker.example"}, E_BRIDGE_BAD_ORIGIN},
      // A page the bridge serves is same-origin with it.
      {{"Host: 127.0.0.1:" + port, "Origin: http://127.0.0.1:" + port}, S_OK},
  };
  for (const Case& c : kCases) {
    BridgeClient client(Tcp(c.headers));
    Posted p = Post(&client, kLoginPath, R"({"user":"owner","code":"1234"})");
    EXPECT_EQ(StatusText(c.want), p.body["status"]) << c.headers[0];
    if (Failed(c.want)) {
      EXPECT_EQ(403, p.http);
      EXPECT_TRUE(p.set_cookie.empty());
    } else {
      ASSERT_EQ(S_OK, gate_->Logout(p.body["cookie"]));
    }
  }
  // A cookie does not get a foreign page past the checks either.
  const std::string cookie = LogIn("owner", "1234").body["cookie"];
  ClientOptions foreign = WithCookie(cookie);
  foreign.extra_headers.push_back("Origin: http://attacker.example");
  BridgeClient page(foreign);
  Json r;
  EXPECT_EQ(E_BRIDGE_BAD_ORIGIN, page.Op({{"op", "session"}}, &r));
  // Without a credential only the login endpoints answer.
  BridgeClient nobody(Tcp());
  EXPECT_EQ(E_BRIDGE_NO_TOKEN, nobody.Op({{"op", "session"}}, &r));
}

TEST_F(LoginCookieTest, MalformedLoginsAreRefusedWithAReason) {
  Start();
  struct Case {
    const char* body;
    HRESULT want;
  };
  const Case kCases[] = {
      {"not json", E_BRIDGE_BAD_REQUEST},
      {"[1,2]", E_BRIDGE_BAD_REQUEST},
      {R"({"user":"owner"})", E_BRIDGE_BAD_REQUEST},
      {R"({"code":"1234"})", E_BRIDGE_BAD_REQUEST},
      {R"({"user":"owner","code":1234})", E_BRIDGE_BAD_REQUEST},  // a code is text: "0123"
      {R"({"user":null,"code":"1234"})", E_BRIDGE_BAD_REQUEST},
      {"{}", E_BRIDGE_BAD_REQUEST},  // nothing to log in with, no cookie to renew
      {R"({"user":"nobody","code":"1234"})", E_SRV_LOGIN_DENIED},
  };
  for (const Case& c : kCases) {
    BridgeClient client(Tcp());
    Posted p = Post(&client, kLoginPath, c.body);
    EXPECT_EQ(StatusText(c.want), p.body["status"]) << c.body;
    EXPECT_FALSE(p.body["error"]["description"].get<std::string>().empty()) << c.body;
    EXPECT_TRUE(p.set_cookie.empty()) << c.body;
  }
  // A renewal of a cookie nobody holds is refused and the cookie cleared.
  BridgeClient stranger(WithCookie("{cookie-404}"));
  Posted p = Post(&stranger, kLoginPath, "");
  EXPECT_EQ(StatusText(E_SRV_LOGIN_DENIED), p.body["status"]);
  EXPECT_NE(std::string::npos, p.set_cookie.find("Max-Age=0"));
  // A logout without a cookie has nothing to end; it still clears the cookie.
  BridgeClient plain(Tcp());
  Posted out = Post(&plain, kLogoutPath, "");
  EXPECT_EQ("00000000", out.body["status"]);
  EXPECT_NE(std::string::npos, out.set_cookie.find("Max-Age=0"));
}

TEST_F(LoginCookieTest, WrongCodesSlowDownGuessesAtThatPersonOnly) {
  Start();
  // A production second is 250 ms: long enough that the attempt right after a wrong code falls
  // inside the back-off even on a loaded machine.
  ScaledClock fast(4);
  ScopedClock installed(&fast);
  ScopedSystemLogCapture log;
  EXPECT_EQ(StatusText(E_SRV_LOGIN_DENIED), LogIn("OWNER", "0000").body["status"]);
  // The right code at once: not even tried, whatever the name's letter case.
  Posted early = LogIn("owner", "1234");
  EXPECT_EQ(StatusText(E_BRIDGE_BACKOFF), early.body["status"]);
  EXPECT_EQ(429, early.http);
  EXPECT_EQ(1, early.body["retryAfter"]);
  // Another person signs in meanwhile.
  EXPECT_EQ("00000000", LogIn("guest", "5678").body["status"]);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ("00000000", LogIn("owner", "1234").body["status"]);

  std::vector<SystemLogReport> reports = log.reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(MSG_WRONG_CODE, reports[0].message_id);
  EXPECT_NE(std::string::npos, reports[0].extra.find("login owner, login"));
  EXPECT_EQ(std::string::npos, reports[0].extra.find("0000"));
}

}  // namespace
}  // namespace zel::bridge::testing
